#pragma once

#include "model/generator.h"

#include <QDateTime>
#include <QWidget>

class ElidedLabel;
class QFrame;
class QLabel;
class QProgressBar;
class Spinner;

// One stage of the run log: status symbol, connector, numbered title,
// elapsed time, what the stage is doing, a notice when Claude has been quiet
// for a while, and a progress bar.
class StageRow : public QWidget
{
    Q_OBJECT

public:
    // Seconds without a progress line after which the quiet notice shows.
    static constexpr qint64 quietSeconds = 15;

    // `last` rows (the save stage) have no connector and no bottom gap.
    StageRow(Generator::Stage stage, bool last, QWidget *parent = nullptr);

    // The stage's fixed description, shown while it waits.
    static QString description(Generator::Stage stage);
    // What the row's second line says for a state.
    static QString detailText(Generator::Stage stage, const Generator::StageState &state);

    void setState(const Generator::StageState &state, const QDateTime &now);
    // Redraws only the live clock and the quiet notice.
    void tick(const QDateTime &now);

private:
    void style(Generator::StageState::Status status);

    Generator::Stage m_stage;
    bool m_last;
    Generator::StageState m_state;
    bool m_styled = false;

    QLabel *m_icon;
    // Over the symbol while the stage runs.
    Spinner *m_spinner;
    QFrame *m_connector;
    QLabel *m_title;
    QLabel *m_elapsed;
    ElidedLabel *m_detail;
    QWidget *m_notice;
    QProgressBar *m_bar;
};
