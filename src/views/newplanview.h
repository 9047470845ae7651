#pragma once

#include "settings/appsettings.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <utility>

class AppState;
class ClaudeCheck;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QVBoxLayout;

// The new-plan form: a design link, optional wiki documents, a feature
// prefix, an optional title and notes. It has no start button of its own;
// it offers its start attempt to the floating pill through NewPlanAction.
class NewPlanView : public QWidget
{
    Q_OBJECT

public:
    // A field's hint line; a bad field also shows the hint in red and gets
    // a red outline.
    struct Hint {
        QString text;
        bool bad = false;
        bool operator==(const Hint &) const = default;
    };

    // What keeps each secret the settings call for from use: that it is
    // missing, or the keychain's own sentence (locked, unreadable, unusable).
    // Empty for a secret that is there or not needed. Asked when the form
    // opens, when the settings call for other secrets and at a start
    // attempt: the store may show an unlock prompt, so never per keystroke
    // or window activation.
    struct Secrets {
        QString figmaToken;
        QString anthropicKey;

        // Whether the settings' modes call for any secret.
        static bool needed(const AppSettings &settings);
        // Asks the store only for the items the settings' modes need.
        static Secrets read(const AppSettings &settings);
    };

    NewPlanView(AppState *state, QWidget *parent = nullptr);
    ~NewPlanView() override;

    // An upper-case ASCII letter followed by one or more ASCII letters or
    // digits, and nothing else (no final line break either).
    static bool featureOK(const QString &feature);
    // What keeps a start from going ahead, in the order they are shown.
    static QStringList readyIssues(bool claudeOK, const Secrets &secrets);
    static Hint linkHint(const QString &url, bool tried);
    static Hint featureHint(const QString &feature, bool tried);
    // A document list's entries: one per line, spaces and tabs trimmed,
    // blank lines dropped, order and duplicates kept.
    static QStringList lines(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *buildForm();
    QWidget *field(const QString &title, bool required, QLabel **hint, QWidget *content);
    QWidget *sharedPageCard();
    QWidget *readinessBox();
    QPlainTextEdit *docEditor(const QString &name);

    void redraw();
    void readSecrets();
    void checkClaude();
    void settingsChanged();
    void publish();
    void tryStart();
    void startIfReady();
    void start();

    QPointer<AppState> m_state;
    ClaudeCheck *m_check = nullptr;
    QLineEdit *m_url = nullptr;
    QLineEdit *m_feature = nullptr;
    QLineEdit *m_title = nullptr;
    QPlainTextEdit *m_notes = nullptr;
    QPlainTextEdit *m_apiDocs = nullptr;
    QPlainTextEdit *m_specDocs = nullptr;
    QLabel *m_urlHint = nullptr;
    QLabel *m_featureHint = nullptr;
    QWidget *m_readiness = nullptr;
    QVBoxLayout *m_issueLines = nullptr;

    bool m_tried = false;
    bool m_claudeOK = true;
    bool m_checkStarted = false;
    Secrets m_secrets;
    // A start attempt waits for the store's newest answer, which decides it;
    // more attempts meanwhile ask nothing more.
    bool m_startAsked = false;
    // Numbers the store's readings; an older answer is dropped.
    int m_secretsAsked = 0;
    // The modes the secrets were read for.
    std::pair<AppSettings::FigmaMode, AppSettings::ClaudeAuth> m_secretModes;
};
