#pragma once

#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class AppState;
class ElidedLabel;
class Generator;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class StageRow;

// The progress of the one generation: a header with the clock and the
// cancel button, a row per stage, the result and the detailed log. It only
// reads the generator; a cancel goes through the main window's question.
class RunLog : public QWidget
{
    Q_OBJECT

public:
    RunLog(AppState *state, Generator &generator, QWidget *parent = nullptr);

    // A duration as the run log shows it: "59초", "1분 0초", "62분 5초".
    // Negative, non-finite and absurdly large values never crash it.
    static QString clock(double seconds);

    // Whether the one-second clock timer is alive (only while running).
    bool ticking() const { return m_timer.isActive(); }

private:
    QWidget *buildHeader();
    QWidget *buildResult();
    QWidget *buildLog();

    // Marks the view for one redraw on the next turn of the event loop, so
    // a burst of progress costs one redraw, not one per line.
    void scheduleRedraw();
    void redraw();
    void tick();
    void restartLog();
    void appendLine(const QString &line);
    void flushLines();

    QPointer<AppState> m_state;
    Generator &m_generator;
    QTimer m_timer;
    QTimer m_pending;
    bool m_redrawDue = false;
    // Lines not yet in the log view; never more than the view keeps.
    QStringList m_newLines;

    ElidedLabel *m_runningText = nullptr;
    QLabel *m_clock = nullptr;
    QPushButton *m_cancel = nullptr;
    QList<StageRow *> m_rows;

    QFrame *m_failed = nullptr;
    QLabel *m_failedText = nullptr;
    QFrame *m_done = nullptr;
    QLabel *m_summary = nullptr;
    QString m_doneDir;
    QLabel *m_caption = nullptr;

    QToolButton *m_logToggle = nullptr;
    QPlainTextEdit *m_log = nullptr;
};
