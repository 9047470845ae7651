#pragma once

#include "model/developer.h"

#include <QDateTime>
#include <QDialog>
#include <QMap>
#include <QSet>
#include <QString>

class AppState;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QTimer;

// The sheet from which development of the open plan is started, watched
// and stopped. Its setup face collects the platforms, a base branch per
// platform and the work name; its progress face shows the Developer's runs,
// which go on when the sheet closes. Window-modal, opened with open(); it
// deletes itself once closed.
class DevelopSheet : public QDialog
{
    Q_OBJECT

public:
    using Platform = Developer::PlatformKind;

    DevelopSheet(AppState *state, const QString &planDir, QWidget *parent = nullptr);

    // The setup face's choices.
    QSet<Platform> pick() const { return m_pick; }
    QMap<Platform, QString> base() const { return m_base; }
    QMap<Platform, QStringList> lists() const { return m_lists; }
    QString name() const;
    // Whether "시작" may start now.
    bool canStart() const;
    // Where the platform's worktree will be for the current work name.
    QString preview(Platform platform) const;

    // Widgets a test drives and reads.
    struct SetupCard {
        QFrame *frame = nullptr;
        QCheckBox *check = nullptr;
        QLabel *missing = nullptr;
        QWidget *branchRow = nullptr;
        QComboBox *branches = nullptr;
        QLabel *preview = nullptr;
    };
    struct RunCard {
        QFrame *frame = nullptr;
        QWidget *spinner = nullptr;
        QLabel *mark = nullptr;
        QLabel *title = nullptr;
        QLabel *clock = nullptr;
        QLabel *detail = nullptr;
        QScrollArea *summaryArea = nullptr;
        QLabel *summary = nullptr;
        QWidget *folderRow = nullptr;
        QPushButton *openFolder = nullptr;
        QLabel *changed = nullptr;
    };
    const SetupCard &setupCard(Platform platform) const { return m_setup[index(platform)]; }
    const RunCard &runCard(Platform platform) const { return m_run[index(platform)]; }
    QWidget *setupFace() const { return m_setupFace; }
    QWidget *progressFace() const { return m_progressFace; }
    QLineEdit *nameField() const { return m_name; }
    QPushButton *cancelButton() const { return m_cancel; }
    QPushButton *startButton() const { return m_start; }
    QPushButton *stopButton() const { return m_stop; }
    QPushButton *closeBehindButton() const { return m_closeBehind; }
    QPushButton *restartButton() const { return m_restart; }
    QPushButton *closeButton() const { return m_close; }

    // "N분 M초" from `started` to `end`, whole seconds.
    static QString elapsedText(const QDateTime &started, const QDateTime &end);
    // "feat/" and the feature in snake case, or "feat/cairn".
    static QString workName(const QString &feature);

protected:
    void showEvent(QShowEvent *event) override;

private:
    static int index(Platform platform) { return platform == Platform::android ? 0 : 1; }
    static QString displayName(Platform platform);

    SetupCard makeSetupCard(Platform platform);
    RunCard makeRunCard(Platform platform);
    QString repo(Platform platform) const;
    bool present(Platform platform) const;

    // Fresh view state and the branch listings, each time the sheet shows.
    void load();
    void listBranches(Platform platform);
    void followSettings();
    void followSetup();
    void followRuns();
    void followClocks();
    void followButtons();
    void startRuns();

    AppState *m_state;
    QString m_planDir;
    QSet<Platform> m_pick;
    QMap<Platform, QString> m_base;
    QMap<Platform, QStringList> m_lists;
    QSet<Platform> m_present;
    QDateTime m_now;
    // Per platform, the number of the latest listing; older ones land in
    // nothing.
    quint64 m_listing[2] = {0, 0};
    // Per platform, the repository that `m_lists` and `m_base` describe.
    QString m_listed[2];

    QStackedWidget *m_faces;
    QWidget *m_setupFace;
    QWidget *m_progressFace;
    SetupCard m_setup[2];
    RunCard m_run[2];
    QLineEdit *m_name;
    QPushButton *m_cancel;
    QPushButton *m_start;
    QPushButton *m_stop;
    QPushButton *m_closeBehind;
    QPushButton *m_restart;
    QPushButton *m_close;
    QTimer *m_tick;
};
