#pragma once

#include <QDateTime>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "model/reviser.h"

class AppState;
class QFrame;
class QHBoxLayout;
class QLabel;
class QMimeData;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTimer;
class QToolButton;

// The right-hand column of the plan editor: the request for Claude with its
// attached pictures, the revise, stop and undo actions, the reviser's
// progress and the folder's revision log. Decisions picked on the plan page
// arrive here as request lines. The request and the pictures are the plan
// folder's draft, kept per folder.
class RevisePanel : public QWidget
{
    Q_OBJECT

public:
    // `changed` tells the editor that the plan folder may have changed.
    RevisePanel(AppState *state, const QString &dir, std::function<void()> changed, QWidget *parent = nullptr);
    ~RevisePanel() override;

    QString dir() const { return m_dir; }
    // Another plan folder: its own draft, log and undo point.
    void setDir(const QString &dir);

    QString request() const;
    QStringList images() const;

    // Attaches the clipboard's image files, else its image data as a
    // capture; false when there is none.
    bool pasteImage();
    // Stores the image as a capture and attaches it.
    bool addImage(const QImage &image);
    // Image files by their own path (once each), else image data as a capture.
    void addDropped(const QMimeData *data);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void build();
    QWidget *buildAttachments();
    QWidget *buildStatus();
    QWidget *buildLog();

    void revise();
    void askUndo();
    void pickImages();
    void remove(const QString &path);
    void attach(const QStringList &paths, bool once);

    // Whether the reviser's latest run is this plan's; the panel shows the
    // reviser's phase only then (and not a dismissed failure), every other
    // plan's panel shows it idle.
    bool mine() const;
    Reviser::Phase shownPhase() const;
    // Whether the reviser's latest run was an undo: only panels start one.
    static bool &undoneLast();
    void followPhase();
    void tick();
    void showDraft();
    // The draft's request after decisions, edited into the one on screen.
    void showDecided();
    void showTiles();
    void showStatus();
    void showRunningTime();
    void updateEnabled();
    void refreshLog(bool force);
    void refreshUndo(bool force);
    QPixmap thumbnail(const QString &path);
    bool takesPaste(QObject *receiver, QEvent *event);
    void keepClearOfPill();
    static void installDecisionHandler();
    // Every panel in existence, so that decisions find theirs directly.
    static QList<RevisePanel *> &panels();
    // However the reviser's run ends, the state reads the plan and the
    // library again: through `changed` while the panel that started it is
    // there, directly once it has gone (another plan was selected).
    static std::shared_ptr<QMetaObject::Connection> refreshWhenEnded(AppState *state, QPointer<RevisePanel> panel);

    AppState *m_state;
    QString m_dir;
    std::function<void()> m_changed;
    // A failure the plan's reload from another program has made stale.
    // Declared before the phase last shown, which is set from it.
    std::optional<Reviser::Phase> m_dismissed;
    Reviser::Phase m_lastPhase;
    bool m_syncing = false;
    bool m_dropping = false;
    bool m_monitoring = false;

    QScrollArea *m_scroll = nullptr;
    QPlainTextEdit *m_requestEdit = nullptr;
    QScrollArea *m_strip = nullptr;
    QWidget *m_tiles = nullptr;
    QWidget *m_attachButtons = nullptr;
    QWidget *m_spinner = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_revise = nullptr;
    QPushButton *m_undo = nullptr;
    QLabel *m_running = nullptr;
    QFrame *m_doneBox = nullptr;
    QLabel *m_doneHeading = nullptr;
    QLabel *m_answer = nullptr;
    QLabel *m_failed = nullptr;
    QLabel *m_otherBusy = nullptr;
    QWidget *m_log = nullptr;
    QToolButton *m_logToggle = nullptr;
    QLabel *m_logText = nullptr;
    QWidget *m_highlight = nullptr;
    QTimer *m_timer = nullptr;
    // The window's floating "새 계획서" pill, when the window has one.
    QPointer<QWidget> m_pill;

    QHash<QString, QPixmap> m_thumbnails;
    // What the log and the history folder looked like when last read.
    std::optional<std::pair<qint64, QDateTime>> m_logSeen;
    std::optional<QDateTime> m_historySeen;
    bool m_logSeenOnce = false;
    bool m_historySeenOnce = false;
    // The reads under way, and the runs whose results count.
    bool m_logReading = false;
    bool m_undoReading = false;
    quint64 m_logRun = 0;
    quint64 m_undoRun = 0;
    bool m_canUndo = false;
};
