#include "views/stagerow.h"

#include "views/elidedlabel.h"
#include "views/runlog.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

using Status = Generator::StageState::Status;
using ViewStyle::Tone;

StageRow::StageRow(Generator::Stage stage, bool last, QWidget *parent)
    : QWidget(parent)
    , m_stage(stage)
    , m_last(last)
    , m_icon(new QLabel(this))
    , m_spinner(ViewStyle::spinner(18, m_icon))
    , m_connector(new QFrame(this))
    , m_title(new QLabel(this))
    , m_elapsed(new QLabel(this))
    , m_detail(new ElidedLabel(3, this))
    , m_notice(new QWidget(this))
    , m_bar(new QProgressBar(this))
{
    setObjectName(QStringLiteral("stageRow%1").arg(static_cast<int>(stage)));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);

    auto *left = new QVBoxLayout;
    left->setSpacing(0);
    m_icon->setObjectName(QStringLiteral("icon"));
    m_icon->setFixedSize(22, 22);
    m_icon->setAlignment(Qt::AlignCenter);
    // Symbols of 18 pixels sit in a label of 20, the spinner likewise.
    m_spinner->move(1, 1);
    left->addWidget(m_icon, 0, Qt::AlignHCenter);
    m_connector->setObjectName(QStringLiteral("connector"));
    m_connector->setFixedWidth(2);
    m_connector->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    m_connector->setVisible(!last);
    left->addWidget(m_connector, 1, Qt::AlignHCenter);
    if (last)
        left->addStretch(1);
    row->addLayout(left);

    auto *right = new QVBoxLayout;
    right->setSpacing(4);
    right->setContentsMargins(0, 0, 0, last ? 0 : 18);
    auto *titleLine = new QHBoxLayout;
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setText(QString::number(static_cast<int>(stage) + 1) + QStringLiteral(". ") + Generator::title(stage));
    m_elapsed->setObjectName(QStringLiteral("elapsed"));
    ViewStyle::font(m_elapsed, ViewStyle::Font::caption);
    titleLine->addWidget(m_title);
    titleLine->addStretch(1);
    titleLine->addWidget(m_elapsed);
    right->addLayout(titleLine);

    m_detail->setObjectName(QStringLiteral("detail"));
    ViewStyle::font(m_detail, ViewStyle::Font::callout);
    right->addWidget(m_detail);

    m_notice->setObjectName(QStringLiteral("notice"));
    auto *notice = new QHBoxLayout(m_notice);
    notice->setContentsMargins(0, 0, 0, 0);
    notice->setSpacing(4);
    auto *bubble = new QLabel(m_notice);
    ViewStyle::symbol(bubble, QStringLiteral("ellipsis.bubble"), Tone::orange, 12);
    auto *noticeText = new QLabel(QStringLiteral("Claude 가 계획서를 작성하고 있어요. 잠시만 기다려 주세요"), m_notice);
    ViewStyle::font(noticeText, ViewStyle::Font::caption);
    ViewStyle::tone(noticeText, Tone::orange);
    notice->addWidget(bubble);
    notice->addWidget(noticeText, 1);
    right->addWidget(m_notice);

    m_bar->setObjectName(QStringLiteral("bar"));
    m_bar->setTextVisible(false);
    m_bar->setMaximumHeight(6);
    right->addWidget(m_bar);
    row->addLayout(right, 1);

    setState(Generator::StageState(), QDateTime::currentDateTimeUtc());
}

QString StageRow::description(Generator::Stage stage)
{
    switch (stage) {
    case Generator::Stage::figma:
        return QStringLiteral("섹션 구조와 화면 프레임, 라벨, 글자 위치를 읽어요");
    case Generator::Stage::images:
        return QStringLiteral("화면마다 그림을 계획서 폴더에 받아 둬요");
    case Generator::Stage::spec:
        return QStringLiteral("넣은 기획서를 Claude 가 Confluence 에서 읽어 와요(없으면 건너뛰어요)");
    case Generator::Stage::api:
        return QStringLiteral("넣은 API 문서를 Claude 가 Confluence 에서 읽어 와요(없으면 건너뛰어요)");
    case Generator::Stage::draft:
        return QStringLiteral("Claude 가 화면 그림을 하나씩 보고 저장소를 참고해 초안을 써요");
    case Generator::Stage::check:
        return QStringLiteral("빠진 화면·끊긴 이동을 검사하고, 문제가 있으면 한 번 더 고쳐 달라고 해요");
    case Generator::Stage::save:
        return QStringLiteral("plan.json · plan.md · index.html 을 만들어요");
    }
    return {};
}

QString StageRow::detailText(Generator::Stage stage, const Generator::StageState &state)
{
    if (state.status != Status::waiting && !state.detail.isEmpty())
        return state.detail;
    return description(stage);
}

void StageRow::setState(const Generator::StageState &state, const QDateTime &now)
{
    const bool restyle = !m_styled || state.status != m_state.status;
    m_state = state;
    m_styled = true;
    const Status status = state.status;
    m_detail->setText(detailText(m_stage, state));
    const bool barShown = status == Status::running && state.total >= 1;
    m_bar->setVisible(barShown);
    if (barShown) {
        m_bar->setRange(0, state.total);
        m_bar->setValue(std::clamp(state.done, 0, state.total));
    }
    if (restyle)
        style(status);
    tick(now);
}

void StageRow::style(Status status)
{
    switch (status) {
    case Status::waiting:
        ViewStyle::symbol(m_icon, QStringLiteral("circle"), Tone::tertiary, 18);
        break;
    case Status::running:
        m_icon->setProperty("symbol", QStringLiteral("progress"));
        m_icon->setProperty("tone", ViewStyle::toneName(Tone::secondary));
        m_icon->clear();
        m_icon->setFixedSize(20, 20);
        break;
    case Status::done:
        ViewStyle::symbol(m_icon, QStringLiteral("checkmark.circle.fill"), Tone::green, 18);
        break;
    case Status::skipped:
        ViewStyle::symbol(m_icon, QStringLiteral("arrow.uturn.backward.circle.fill"), Tone::blue, 18);
        break;
    case Status::failed:
        ViewStyle::symbol(m_icon, QStringLiteral("xmark.circle.fill"), Tone::red, 18);
        break;
    }
    m_spinner->setVisible(status == Status::running);
    const bool finished = status == Status::done || status == Status::skipped;
    m_connector->setProperty("tone", finished ? QStringLiteral("green") : QStringLiteral("secondary"));
    m_connector->setStyleSheet(finished ? QStringLiteral("background: rgba(40, 167, 69, 128);")
                                        : QStringLiteral("background: rgba(128, 128, 128, 64);"));

    QFont titleFont = font();
    titleFont.setWeight(status == Status::running ? QFont::DemiBold : QFont::Normal);
    m_title->setFont(titleFont);
    ViewStyle::tone(m_title, status == Status::waiting ? Tone::secondary : Tone::primary);
    ViewStyle::tone(m_detail, status == Status::failed ? Tone::red : Tone::secondary);
    ViewStyle::tone(m_elapsed, status == Status::running ? Tone::secondary : Tone::tertiary);
}

void StageRow::tick(const QDateTime &now)
{
    const Generator::StageState &s = m_state;
    const bool running = s.status == Status::running;
    QString elapsed;
    if (s.started && running)
        elapsed = RunLog::clock(s.started->msecsTo(now) / 1000.0);
    else if (s.started && s.ended)
        elapsed = RunLog::clock(s.started->msecsTo(*s.ended) / 1000.0);
    m_elapsed->setText(elapsed);
    m_elapsed->setVisible(!elapsed.isEmpty());
    m_notice->setVisible(running && s.lastEvent && s.lastEvent->msecsTo(now) / 1000 >= quietSeconds);
}
