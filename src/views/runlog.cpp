#include "views/runlog.h"

#include "app/appstate.h"
#include "app/desktop.h"
#include "model/generator.h"
#include "views/elidedlabel.h"
#include "views/stagerow.h"
#include "views/viewstyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

using Kind = Generator::Phase::Kind;
using ViewStyle::Tone;

namespace {

// Far beyond any real run, yet well inside a 64-bit integer.
constexpr double longestClock = 1e15;

double secondsBetween(const QDateTime &from, const QDateTime &to)
{
    return from.msecsTo(to) / 1000.0;
}

QFrame *panel(const QString &name, const QString &fill, QWidget *parent)
{
    auto *frame = new QFrame(parent);
    frame->setObjectName(name);
    ViewStyle::roundedFill(frame, fill);
    return frame;
}

} // namespace

QString RunLog::clock(double seconds)
{
    qint64 whole = 0;
    // NaN and negatives show 0; anything huge, infinity included, is
    // clamped before the integer conversion.
    if (!std::isnan(seconds) && seconds > 0)
        whole = static_cast<qint64>(std::min(seconds, longestClock));
    if (whole < 60)
        return QString::number(whole) + QStringLiteral("초");
    return QString::number(whole / 60) + QStringLiteral("분 ") + QString::number(whole % 60) + QStringLiteral("초");
}

RunLog::RunLog(AppState *state, Generator &generator, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_generator(generator)
{
    setObjectName(QStringLiteral("runLog"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(ViewStyle::divider(this));

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *content = new QWidget(scroll);
    content->setBackgroundRole(QPalette::Base);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(0);
    for (Generator::Stage stage : Generator::allStages) {
        auto *row = new StageRow(stage, stage == Generator::Stage::save, content);
        m_rows.append(row);
        column->addWidget(row);
    }
    column->addSpacing(8);
    column->addWidget(buildResult());
    column->addSpacing(14);
    column->addWidget(buildLog());
    column->addStretch(1);
    scroll->setWidget(content);
    layout->addWidget(scroll, 1);

    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &RunLog::tick);
    m_pending.setSingleShot(true);
    m_pending.setInterval(0);
    connect(&m_pending, &QTimer::timeout, this, [this] {
        flushLines();
        if (std::exchange(m_redrawDue, false))
            redraw();
    });
    connect(&generator, &Generator::phaseChanged, this, &RunLog::scheduleRedraw);
    connect(&generator, &Generator::stagesChanged, this, &RunLog::scheduleRedraw);
    connect(&generator, &Generator::summaryChanged, this, &RunLog::scheduleRedraw);
    connect(&generator, &Generator::startedAtChanged, this, &RunLog::scheduleRedraw);
    // A new run empties the log and sets its start time.
    connect(&generator, &Generator::startedAtChanged, this, &RunLog::restartLog);
    connect(&generator, &Generator::lineAdded, this, &RunLog::appendLine);
    connect(&generator, &Generator::logChanged, this, [this] {
        if (m_generator.log().isEmpty()) {
            m_newLines.clear();
            m_log->clear();
        }
    });
    restartLog();
    redraw();
}

QWidget *RunLog::buildHeader()
{
    auto *header = new QWidget(this);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(12, 12, 12, 12);
    auto *title = new QLabel(QStringLiteral("진행"), header);
    ViewStyle::font(title, ViewStyle::Font::headline);
    m_runningText = new ElidedLabel(1, header);
    m_runningText->setObjectName(QStringLiteral("runningText"));
    ViewStyle::tone(m_runningText, Tone::secondary);
    m_clock = new QLabel(header);
    m_clock->setObjectName(QStringLiteral("runClock"));
    // Digits of equal width, so the ticking clock does not jitter.
    ViewStyle::monospaced(m_clock);
    m_cancel = new QPushButton(QStringLiteral("만들기 취소"), header);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setProperty("role", QStringLiteral("destructive"));
    m_cancel->setAutoDefault(false);
    ViewStyle::font(m_cancel, ViewStyle::Font::caption);
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->setCancelGenerating(true);
    });
    row->addWidget(title);
    row->addWidget(m_runningText);
    // The spacer keeps the clock at the trailing edge also once the running
    // text and the cancel button are gone.
    row->addStretch(1);
    row->addWidget(m_clock);
    row->addWidget(m_cancel);
    return header;
}

QWidget *RunLog::buildResult()
{
    auto *result = new QWidget(this);
    result->setObjectName(QStringLiteral("resultPanel"));
    auto *layout = new QVBoxLayout(result);
    layout->setContentsMargins(0, 0, 0, 0);

    m_failed = panel(QStringLiteral("failedPanel"), QStringLiteral("rgba(215, 38, 56, 20)"), result);
    auto *failedLayout = new QVBoxLayout(m_failed);
    failedLayout->setContentsMargins(12, 12, 12, 12);
    m_failedText = ViewStyle::plainLabel(QString(), m_failed);
    m_failedText->setObjectName(QStringLiteral("failedMessage"));
    m_failedText->setWordWrap(true);
    m_failedText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ViewStyle::tone(m_failedText, Tone::red);
    failedLayout->addWidget(m_failedText);
    layout->addWidget(m_failed);

    m_done = panel(QStringLiteral("donePanel"), QStringLiteral("rgba(40, 167, 69, 20)"), result);
    auto *doneLayout = new QVBoxLayout(m_done);
    doneLayout->setContentsMargins(12, 12, 12, 12);
    doneLayout->setSpacing(6);
    auto *label = new QHBoxLayout;
    auto *seal = new QLabel(m_done);
    ViewStyle::symbol(seal, QStringLiteral("checkmark.seal.fill"), Tone::green);
    auto *made = new QLabel(QStringLiteral("계획서를 만들었어요"), m_done);
    ViewStyle::font(made, ViewStyle::Font::headline);
    ViewStyle::tone(made, Tone::green);
    label->addWidget(seal);
    label->addWidget(made, 1);
    doneLayout->addLayout(label);
    m_summary = ViewStyle::plainLabel(QString(), m_done);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setWordWrap(true);
    ViewStyle::tone(m_summary, Tone::secondary);
    doneLayout->addWidget(m_summary);
    auto *buttons = new QHBoxLayout;
    auto *open = new QPushButton(QStringLiteral("열기"), m_done);
    auto *reveal = new QPushButton(QStringLiteral("폴더 열기"), m_done);
    open->setAutoDefault(false);
    reveal->setAutoDefault(false);
    connect(open, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->open(m_doneDir, true);
    });
    connect(reveal, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->reveal(m_doneDir);
    });
    buttons->addWidget(open);
    buttons->addWidget(reveal);
    buttons->addStretch(1);
    doneLayout->addLayout(buttons);
    layout->addWidget(m_done);

    m_caption = new QLabel(QStringLiteral("섹션 크기에 따라 몇 분 걸려요. 항구 클립(프레임 26개) 기준 약 6분이에요."), result);
    m_caption->setObjectName(QStringLiteral("durationCaption"));
    m_caption->setWordWrap(true);
    ViewStyle::font(m_caption, ViewStyle::Font::callout);
    ViewStyle::tone(m_caption, Tone::secondary);
    layout->addWidget(m_caption);
    return result;
}

QWidget *RunLog::buildLog()
{
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    m_logToggle = new QToolButton(box);
    m_logToggle->setObjectName(QStringLiteral("logToggle"));
    m_logToggle->setText(QStringLiteral("자세한 로그"));
    m_logToggle->setCheckable(true);
    m_logToggle->setAutoRaise(true);
    m_logToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_logToggle->setArrowType(Qt::RightArrow);
    ViewStyle::font(m_logToggle, ViewStyle::Font::callout);
    m_log = new QPlainTextEdit(box);
    m_log->setObjectName(QStringLiteral("logView"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(400);
    m_log->setFixedHeight(260);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    ViewStyle::font(m_log, ViewStyle::Font::caption);
    ViewStyle::monospaced(m_log);
    m_log->setVisible(false);
    connect(m_logToggle, &QToolButton::toggled, this, [this](bool open) {
        m_logToggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        m_log->setVisible(open);
    });
    layout->addWidget(m_logToggle, 0, Qt::AlignLeft);
    layout->addWidget(m_log);
    return box;
}

void RunLog::scheduleRedraw()
{
    m_redrawDue = true;
    if (!m_pending.isActive())
        m_pending.start();
}

void RunLog::redraw()
{
    const Generator::Phase phase = m_generator.phase();
    const bool running = phase.isRunning();
    const QDateTime now = QDateTime::currentDateTimeUtc();

    m_runningText->setText(running ? phase.text : QString());
    m_runningText->setVisible(running);
    m_cancel->setVisible(running);
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        m_rows.at(i)->setState(m_generator.stageState(Generator::allStages.at(i)), now);

    m_failed->setVisible(phase.kind == Kind::failed);
    m_failedText->setText(phase.kind == Kind::failed ? phase.text : QString());
    m_done->setVisible(phase.kind == Kind::done);
    m_doneDir = phase.kind == Kind::done ? phase.dir : QString();
    m_summary->setText(m_generator.summary());
    m_summary->setVisible(!m_generator.summary().isEmpty());
    m_caption->setVisible((running || phase.kind == Kind::idle) && !m_generator.startedAt());

    // The clock timer lives only while the run does.
    if (running && !m_timer.isActive())
        m_timer.start();
    else if (!running)
        m_timer.stop();
    tick();
}

void RunLog::tick()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const std::optional<QDateTime> started = m_generator.startedAt();
    QString text;
    if (started && m_generator.phase().isRunning()) {
        text = clock(secondsBetween(*started, now));
        ViewStyle::tone(m_clock, Tone::primary);
    } else if (started) {
        std::optional<QDateTime> latest;
        for (const Generator::StageState &state : m_generator.stages())
            if (state.ended && (!latest || *state.ended > *latest))
                latest = state.ended;
        if (latest)
            text = clock(secondsBetween(*started, *latest));
        ViewStyle::tone(m_clock, Tone::secondary);
    }
    m_clock->setText(text);
    m_clock->setVisible(!text.isEmpty());
    for (StageRow *row : m_rows)
        row->tick(now);
}

void RunLog::restartLog()
{
    m_newLines.clear();
    m_log->clear();
    const QStringList log = m_generator.log();
    if (!log.isEmpty())
        m_log->appendPlainText(log.join(QLatin1Char('\n')));
}

void RunLog::appendLine(const QString &line)
{
    // Lines are added to the view once per turn of the event loop; of a
    // burst only the last the view keeps are worth laying out.
    m_newLines.append(line);
    if (m_newLines.size() > m_log->maximumBlockCount())
        m_newLines.removeFirst();
    if (!m_pending.isActive())
        m_pending.start();
}

void RunLog::flushLines()
{
    if (m_newLines.isEmpty())
        return;
    const int before = m_log->blockCount();
    m_log->appendPlainText(m_newLines.join(QLatin1Char('\n')));
    m_newLines.clear();
    // Follow the newest line while the log grows; at its cap new lines
    // replace the oldest and the view stays where it is.
    if (m_log->blockCount() != before)
        m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}
