#pragma once

#include "core/canceltoken.h"
#include "settings/appsettings.h"
#include "settings/keychain.h"

#include <QCoroTask>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class AppState;
class ConnectionsView;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class RepoRow;
class UpdateRow;

// The one form of the application's settings, shown in the settings window
// and in the first-run setup sheet: connections, name, repositories, how
// the design section is read, the claude tool, where plans go, version and
// updates. Every control writes AppState's settings at once; the two
// secrets go to the keychain only through their Save buttons and are never
// read back into a field. The keychain may take as long as a person takes
// to answer its prompt: it is asked from threads of its own.
class SettingsForm : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsForm(AppState *state, QWidget *parent = nullptr);
    ~SettingsForm() override;

    // What a test drives and reads.
    ConnectionsView *connectionsView() const { return m_connections; }
    QLineEdit *nameField() const { return m_name; }
    RepoRow *androidRow() const { return m_android; }
    RepoRow *iosRow() const { return m_ios; }
    QRadioButton *mcpChoice() const { return m_mcp; }
    QRadioButton *tokenChoice() const { return m_tokenMode; }
    QLabel *mcpNote() const { return m_mcpNote; }
    QWidget *tokenRows() const { return m_tokenRows; }
    QLineEdit *tokenField() const { return m_token; }
    QPushButton *tokenSave() const { return m_tokenSave; }
    QPushButton *tokenCheck() const { return m_tokenCheck; }
    QLabel *figmaStatusLine() const { return m_figmaStatus; }
    QLineEdit *claudePathField() const { return m_claudePath; }
    QPushButton *findButton() const { return m_find; }
    QPushButton *checkButton() const { return m_check; }
    QLabel *claudeStatusLine() const { return m_claudeStatus; }
    QRadioButton *loginChoice() const { return m_login; }
    QRadioButton *apiKeyChoice() const { return m_apiKeyMode; }
    QWidget *apiKeyRow() const { return m_apiKeyRow; }
    QLineEdit *apiKeyField() const { return m_apiKey; }
    QPushButton *apiKeySave() const { return m_apiKeySave; }
    QLabel *apiKeyStatusLine() const { return m_apiKeyStatus; }
    QLineEdit *modelField() const { return m_model; }
    QLineEdit *outputField() const { return m_output; }
    QPushButton *outputChoose() const { return m_outputChoose; }
    QLabel *versionLabel() const { return m_version; }
    // Why the settings shown are not the saved ones; hidden when they are.
    QLabel *settingsProblemLine() const { return m_problem; }
    UpdateRow *updateRow() const { return m_update; }

    // Asks the claude tool at the configured path for its version, off the
    // main thread; the answer of the latest request fills the status line.
    void checkClaude();

    // The version the form shows: the running build's, else "개발용".
    static QString versionText();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *group(const QString &title, const QString &note, QWidget *content);
    QWidget *buildName();
    QWidget *buildRepositories();
    QWidget *buildFigma();
    QWidget *buildClaude();
    QWidget *buildOutput();
    QWidget *buildAbout();

    void edit(const std::function<void(AppSettings &)> &change);
    // Brings every control to the settings, touching only what differs.
    void follow();
    void followSecrets();
    void setFigmaStatus(const QString &text);
    void setKeyStatus(const QString &text);
    void setClaudeStatus(const QString &text);

    // A call of the secret's row to the keychain, on a thread of its own:
    // the row's controls are disabled and its status line reads `waiting`
    // until the answer, which `done` gets only while the call is the row's
    // newest.
    template<typename Work, typename Done>
    void askKeychain(Keychain::Item item, const QString &waiting, Work work, Done done);
    quint64 &serial(Keychain::Item item);
    bool &waiting(Keychain::Item item);
    void readSaved(Keychain::Item item);
    void readNeeded();
    // Shows why a typed secret cannot be saved; false when it can.
    bool refused(Keychain::Item item, const QString &typed);

    void saveToken();
    void checkToken();
    // Awaits the design service's answer for `token`; shows it only while
    // the form exists and `serial` is still the newest.
    static QCoro::Task<> checkFigma(QPointer<SettingsForm> form, quint64 serial, QString token);
    void saveApiKey();
    void findTool();
    void chooseOutput();

    AppState *m_state;
    QLabel *m_problem = nullptr;
    ConnectionsView *m_connections = nullptr;
    QLineEdit *m_name = nullptr;
    RepoRow *m_android = nullptr;
    RepoRow *m_ios = nullptr;
    QButtonGroup *m_figmaModes = nullptr;
    QRadioButton *m_mcp = nullptr;
    QRadioButton *m_tokenMode = nullptr;
    QLabel *m_mcpNote = nullptr;
    QWidget *m_tokenRows = nullptr;
    QLineEdit *m_token = nullptr;
    QPushButton *m_tokenSave = nullptr;
    QPushButton *m_tokenCheck = nullptr;
    QLabel *m_figmaStatus = nullptr;
    QLineEdit *m_claudePath = nullptr;
    QPushButton *m_find = nullptr;
    QPushButton *m_check = nullptr;
    QLabel *m_claudeStatus = nullptr;
    QButtonGroup *m_auths = nullptr;
    QRadioButton *m_login = nullptr;
    QRadioButton *m_apiKeyMode = nullptr;
    QWidget *m_apiKeyRow = nullptr;
    QLineEdit *m_apiKey = nullptr;
    QPushButton *m_apiKeySave = nullptr;
    QLabel *m_apiKeyStatus = nullptr;
    QLineEdit *m_model = nullptr;
    QLineEdit *m_output = nullptr;
    QPushButton *m_outputChoose = nullptr;
    QLabel *m_version = nullptr;
    UpdateRow *m_update = nullptr;

    bool m_shownOnce = false;
    // Whether the keyring was asked for the secret since the form showed:
    // it is asked only once a mode needs the secret.
    bool m_tokenRead = false;
    bool m_keyRead = false;
    // The last read could not get the secret (a locked keyring): a check
    // that reached it since (the connection rows) reads it again.
    bool m_tokenUnreadable = false;
    bool m_keyUnreadable = false;
    bool m_tokenSaved = false;
    bool m_keySaved = false;
    bool m_tokenWaiting = false;
    bool m_keyWaiting = false;
    // Each token save or check takes the next number; a check's answer is
    // shown only while its number is still the newest.
    quint64 m_figmaSerial = 0;
    // The same for the API key's row.
    quint64 m_keySerial = 0;
    // The same for the claude tool's checks and searches; typing a path
    // also takes a number.
    quint64 m_claudeSerial = 0;
    // The serial of the newest search for the tool.
    quint64 m_findSerial = 0;
    // Ends the tool checks and searches still running when the form goes.
    CancelToken m_claudeStop;
};
