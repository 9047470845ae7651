#include "views/connectionsview.h"

#include "app/appstate.h"
#include "app/desktop.h"
#include "claude/clauderunner.h"
#include "core/ownthread.h"
#include "settings/keychain.h"
#include "views/serviceaddresses.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QPointer>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

using Kind = Connections::Status::Kind;

const QString claudePurpose = QStringLiteral("계획서 만들기·고치기 (필수)");
const QString figmaPurpose = QStringLiteral("피그마 섹션 읽기 (필수)");
const QString wikiPurpose = QStringLiteral("기획서·API 문서 읽기 (선택)");

void small(QPushButton *button)
{
    ViewStyle::font(button, ViewStyle::Font::caption);
    button->setProperty("controlSize", QStringLiteral("small"));
}

} // namespace

ConnectionsView::ConnectionsView(AppState *state, Connections *connections, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_connections(connections)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    m_claudeRow = makeRow(QStringLiteral("Claude Code"));
    m_figmaRow = makeRow(QStringLiteral("Figma"));
    m_wikiRow = makeRow(QStringLiteral("Wiki (Confluence)"));
    for (const Row *row : {&m_claudeRow, &m_figmaRow, &m_wikiRow})
        column->addWidget(row->frame);

    m_jobPanel = new QFrame(this);
    ViewStyle::accentCard(m_jobPanel);
    auto *job = new QVBoxLayout(m_jobPanel);
    job->setContentsMargins(10, 10, 10, 10);
    job->setSpacing(8);
    auto *jobHead = new QHBoxLayout;
    jobHead->setSpacing(8);
    jobHead->addWidget(ViewStyle::spinner(16, m_jobPanel));
    m_jobTitle = ViewStyle::plainLabel(QString(), m_jobPanel);
    QFont titleFont = m_jobTitle->font();
    titleFont.setWeight(QFont::DemiBold);
    m_jobTitle->setFont(titleFont);
    jobHead->addWidget(m_jobTitle);
    jobHead->addStretch(1);
    m_jobCancel = new QPushButton(QStringLiteral("취소"), m_jobPanel);
    small(m_jobCancel);
    jobHead->addWidget(m_jobCancel);
    job->addLayout(jobHead);
    m_jobNote = ViewStyle::plainLabel(QString(), m_jobPanel);
    m_jobNote->setWordWrap(true);
    ViewStyle::font(m_jobNote, ViewStyle::Font::callout);
    ViewStyle::tone(m_jobNote, ViewStyle::Tone::secondary);
    job->addWidget(m_jobNote);
    m_jobLink = new QPushButton(QStringLiteral("브라우저가 안 열렸으면 여기를 누르세요"), m_jobPanel);
    m_jobLink->setFlat(true);
    m_jobLink->setCursor(Qt::PointingHandCursor);
    ViewStyle::font(m_jobLink, ViewStyle::Font::callout);
    // The button keeps its own text colour: only the tone is recorded.
    m_jobLink->setProperty("tone", ViewStyle::toneName(ViewStyle::Tone::accent));
    job->addWidget(m_jobLink, 0, Qt::AlignLeft);
    m_codeRow = new QWidget(m_jobPanel);
    auto *code = new QHBoxLayout(m_codeRow);
    code->setContentsMargins(0, 0, 0, 0);
    m_codeField = new QLineEdit(m_codeRow);
    m_codeField->setPlaceholderText(
        QStringLiteral("허용했는데 안 끝나면: 브라우저 주소창의 주소(또는 코드)를 붙여 넣으세요"));
    code->addWidget(m_codeField, 1);
    m_codeSend = new QPushButton(QStringLiteral("확인"), m_codeRow);
    code->addWidget(m_codeSend);
    job->addWidget(m_codeRow);
    column->addWidget(m_jobPanel);

    m_errorLine = new QWidget(this);
    auto *error = new QHBoxLayout(m_errorLine);
    error->setContentsMargins(0, 0, 0, 0);
    error->setSpacing(4);
    auto *errorIcon = new QLabel(m_errorLine);
    ViewStyle::font(errorIcon, ViewStyle::Font::caption);
    ViewStyle::themeSymbol(errorIcon, QStringLiteral("exclamationmark.triangle.fill"), ViewStyle::Tone::orange);
    error->addWidget(errorIcon, 0, Qt::AlignTop);
    m_errorText = ViewStyle::plainLabel(QString(), m_errorLine);
    m_errorText->setWordWrap(true);
    ViewStyle::font(m_errorText, ViewStyle::Font::caption);
    ViewStyle::tone(m_errorText, ViewStyle::Tone::orange);
    error->addWidget(m_errorText, 1);
    column->addWidget(m_errorLine);

    auto *bottom = new QHBoxLayout;
    m_recheck = new QPushButton(QStringLiteral("다시 확인"), this);
    small(m_recheck);
    bottom->addWidget(m_recheck);
    bottom->addStretch(1);
    column->addLayout(bottom);

    connect(m_claudeRow.button, &QPushButton::clicked, this, [this] { start(claudeStep()); });
    connect(m_figmaRow.button, &QPushButton::clicked, this, [this] { start(figmaStep()); });
    connect(m_wikiRow.button, &QPushButton::clicked, this, [this] { start(wikiStep()); });
    connect(m_jobCancel, &QPushButton::clicked, m_connections, &Connections::stopJob);
    connect(m_jobLink, &QPushButton::clicked, this, [this] {
        if (const std::optional<Connections::Job> running = m_connections->job(); running && running->url)
            m_state->openAddress(*running->url);
    });
    connect(m_codeField, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_codeSend->setEnabled(!text.isEmpty()); });
    connect(m_codeSend, &QPushButton::clicked, this, [this] {
        m_connections->sendCode(m_codeField->text());
        m_codeField->clear();
    });
    connect(m_recheck, &QPushButton::clicked, this, [this] {
        // The person asks: a locked keyring is asked again, once.
        Keychain::askAgain();
        refresh();
    });

    for (auto signal : {&Connections::claudeChanged, &Connections::figmaChanged, &Connections::wikiChanged,
                        &Connections::jobChanged, &Connections::lastErrorChanged})
        connect(m_connections, signal, this, &ConnectionsView::follow);
    // Of the settings only the two modes change what is offered.
    connect(m_state, &AppState::settingsChanged, this, [this] {
        if (m_state->settings().figmaMode != m_figmaMode || m_state->settings().claudeAuth != m_claudeAuth)
            follow();
    });
    connect(qApp, &QGuiApplication::applicationStateChanged, this, &ConnectionsView::onActivation);
    // A job's login address opens as every other address of the window does.
    m_connections->setURLOpener([state = QPointer<AppState>(m_state)](const QUrl &url) {
        if (state)
            state->openAddress(url);
    });
    m_codeSend->setEnabled(false);
    follow();
}

ConnectionsView::~ConnectionsView()
{
    m_searchStop.cancel();
}

ConnectionsView::Row ConnectionsView::makeRow(const QString &title)
{
    Row row;
    row.frame = new QFrame(this);
    ViewStyle::card(row.frame);
    auto *layout = new QHBoxLayout(row.frame);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);

    auto *mark = new QWidget(row.frame);
    mark->setFixedWidth(20);
    auto *markLayout = new QHBoxLayout(mark);
    markLayout->setContentsMargins(0, 0, 0, 0);
    row.icon = new QLabel(mark);
    row.icon->setAlignment(Qt::AlignCenter);
    markLayout->addWidget(row.icon);
    row.spinner = ViewStyle::spinner(16, mark);
    markLayout->addWidget(row.spinner);
    layout->addWidget(mark);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(1);
    row.title = ViewStyle::plainLabel(title, row.frame);
    QFont font = row.title->font();
    font.setWeight(QFont::DemiBold);
    row.title->setFont(font);
    texts->addWidget(row.title);
    row.detail = ViewStyle::plainLabel(QString(), row.frame);
    ViewStyle::font(row.detail, ViewStyle::Font::caption);
    ViewStyle::tone(row.detail, ViewStyle::Tone::secondary);
    row.detail->setWordWrap(true);
    texts->addWidget(row.detail);
    layout->addLayout(texts, 1);

    row.button = new QPushButton(row.frame);
    layout->addWidget(row.button);
    return row;
}

QString ConnectionsView::detailLine(const QString &purpose, const Connections::Status &status)
{
    switch (status.kind) {
    case Kind::ok:
        return purpose + QStringLiteral(" · ") + status.text;
    case Kind::needsLogin:
        if (status.text.contains(QLatin1Char(' ')))
            return purpose + QStringLiteral(" · ") + status.text;
        return purpose + QStringLiteral(" · ") + status.text + QStringLiteral(" — 로그인이 필요해요");
    case Kind::checking:
        return purpose + QStringLiteral(" · 확인하는 중");
    case Kind::missing:
        return purpose + QStringLiteral(" · 아직 연결 안 됨");
    case Kind::notChecked:
    case Kind::notConnected:
        return purpose + QStringLiteral(" · ") + status.text;
    }
    return purpose;
}

void ConnectionsView::showRow(Row &row, const QString &purpose, const Connections::Status &status, Step step)
{
    const bool checking = status.kind == Kind::checking;
    row.spinner->setVisible(checking);
    row.icon->setVisible(!checking);
    switch (status.kind) {
    case Kind::ok:
        ViewStyle::themeSymbol(row.icon, QStringLiteral("checkmark.circle.fill"), ViewStyle::Tone::green);
        break;
    case Kind::needsLogin:
        ViewStyle::themeSymbol(row.icon, QStringLiteral("person.crop.circle.badge.exclamationmark"),
                               ViewStyle::Tone::orange);
        break;
    case Kind::missing:
        // Not connected yet is no failure: a quiet mark in the tone itself,
        // not the theme's red error sign.
        ViewStyle::symbol(row.icon, QStringLiteral("xmark.circle"), ViewStyle::Tone::secondary,
                          row.icon->fontMetrics().height());
        break;
    case Kind::notChecked:
        ViewStyle::symbol(row.icon, QStringLiteral("circle"), ViewStyle::Tone::secondary,
                          row.icon->fontMetrics().height());
        break;
    case Kind::notConnected:
        ViewStyle::themeSymbol(row.icon, QStringLiteral("exclamationmark.triangle.fill"), ViewStyle::Tone::orange);
        break;
    case Kind::checking:
        row.icon->setProperty("symbol", QString());
        break;
    }
    row.detail->setText(detailLine(purpose, status));

    QString title;
    switch (step) {
    case Step::none:
        break;
    case Step::installClaude:
        title = QStringLiteral("설치");
        break;
    case Step::loginClaude:
        title = status.kind == Kind::ok ? QStringLiteral("다른 계정으로") : QStringLiteral("로그인");
        break;
    case Step::loginFigma:
    case Step::loginWiki:
        title = QStringLiteral("로그인");
        break;
    case Step::connectFigma:
    case Step::connectWiki:
        title = QStringLiteral("연결");
        break;
    }
    row.button->setVisible(step != Step::none);
    row.button->setText(title);
    const bool smallButton = step == Step::loginClaude && status.kind == Kind::ok;
    row.button->setProperty("controlSize", smallButton ? QStringLiteral("small") : QStringLiteral("regular"));
    row.button->setEnabled(!m_connections->job());
}

ConnectionsView::Step ConnectionsView::claudeStep() const
{
    // Runs in the API-key mode use the stored key, whatever the tool's own
    // login: logging in to the tool cannot help them.
    const bool keyMode = m_state->settings().claudeAuth == AppSettings::ClaudeAuth::apiKey;
    switch (m_connections->claude().kind) {
    case Kind::ok:
    case Kind::needsLogin:
        return keyMode ? Step::none : Step::loginClaude;
    case Kind::missing:
        return Step::installClaude;
    case Kind::checking:
    case Kind::notChecked:
    case Kind::notConnected:
        return Step::none;
    }
    return Step::none;
}

ConnectionsView::Step ConnectionsView::figmaStep() const
{
    if (m_state->settings().figmaMode == AppSettings::FigmaMode::token || m_connections->claude().kind != Kind::ok)
        return Step::none;
    switch (m_connections->figma().kind) {
    case Kind::needsLogin:
        return Step::loginFigma;
    case Kind::missing:
        return Step::connectFigma;
    default:
        return Step::none;
    }
}

ConnectionsView::Step ConnectionsView::wikiStep() const
{
    if (m_connections->claude().kind != Kind::ok)
        return Step::none;
    switch (m_connections->wiki().kind) {
    case Kind::needsLogin:
        return Step::loginWiki;
    case Kind::missing:
        return Step::connectWiki;
    default:
        return Step::none;
    }
}

void ConnectionsView::follow()
{
    m_figmaMode = m_state->settings().figmaMode;
    m_claudeAuth = m_state->settings().claudeAuth;
    // The job's panel first: the button that started the job is disabled
    // below, and the focus must already be with the job by then.
    followJob();
    showRow(m_claudeRow, claudePurpose, m_connections->claude(), claudeStep());
    showRow(m_figmaRow, figmaPurpose, m_connections->figma(), figmaStep());
    showRow(m_wikiRow, wikiPurpose, m_connections->wiki(), wikiStep());
    const std::optional<QString> error = m_connections->lastError();
    m_errorLine->setVisible(error.has_value());
    m_errorText->setText(error.value_or(QString()));
    m_recheck->setEnabled(!m_connections->job());
}

void ConnectionsView::followJob()
{
    const std::optional<Connections::Job> job = m_connections->job();
    m_jobPanel->setVisible(job.has_value());
    if (!job)
        return;
    m_jobTitle->setText(job->title);
    m_jobNote->setText(job->note);
    m_jobLink->setVisible(job->url.has_value());
    m_codeRow->setVisible(job->askCode);
    // A disabled button hands the focus to the next field of the window,
    // which would take keys meant for the job; the job's "취소" keeps it.
    QWidget *focus = QApplication::focusWidget();
    if (focus && isAncestorOf(focus) && !m_jobPanel->isAncestorOf(focus))
        m_jobCancel->setFocus(Qt::OtherFocusReason);
}

void ConnectionsView::start(Step step)
{
    if (m_connections->job())
        return;
    // What was asked when the button was pressed, not when the tool is found.
    const QString wikiServer = m_connections->wiki().text;
    switch (step) {
    case Step::none:
        return;
    case Step::installClaude:
        m_connections->installClaude(m_state->settings());
        return;
    case Step::loginClaude:
        withTool([this](const QString &tool) { m_connections->loginClaude(tool, m_state->settings()); });
        return;
    case Step::connectFigma:
        withTool([this](const QString &tool) {
            m_connections->addServer(QStringLiteral("figma"), QString::fromLatin1(ServiceAddresses::figmaMCP), tool,
                                     m_state->settings());
        });
        return;
    case Step::loginFigma:
        withTool([this](const QString &tool) {
            m_connections->loginServer(QStringLiteral("figma"), tool, m_state->settings());
        });
        return;
    case Step::connectWiki:
        withTool([this](const QString &tool) {
            m_connections->addServer(QStringLiteral("atlassian"), QString::fromLatin1(ServiceAddresses::atlassianMCP),
                                     tool, m_state->settings());
        });
        return;
    case Step::loginWiki:
        withTool([this, wikiServer](const QString &tool) {
            m_connections->loginServer(wikiServer, tool, m_state->settings());
        });
        return;
    }
}

void ConnectionsView::withTool(std::function<void(const QString &tool)> then)
{
    const QString configured = m_state->settings().claudePath;
    if (!configured.isEmpty()) {
        then(configured);
        return;
    }
    OwnThread::run(
        this, [stop = m_searchStop] { return ClaudeRunner::findClaude(stop); },
        [then = std::move(then)](const std::optional<QString> &found) { then(found.value_or(QStringLiteral("claude"))); });
}

void ConnectionsView::refresh()
{
    const quint64 serial = ++m_refreshSerial;
    if (!m_state->settings().claudePath.isEmpty()) {
        m_connections->refresh(m_state->settings());
        return;
    }
    OwnThread::run(
        this, [stop = m_searchStop] { return ClaudeRunner::findClaude(stop); },
        [this, serial](const std::optional<QString> &found) {
            if (serial != m_refreshSerial)
                return;
            if (found && m_state->settings().claudePath.isEmpty()) {
                AppSettings settings = m_state->settings();
                settings.claudePath = *found;
                m_state->setSettings(settings);
            }
            m_connections->refresh(m_state->settings());
        });
}

void ConnectionsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        refresh();
}

void ConnectionsView::onActivation(Qt::ApplicationState applicationState)
{
    if (applicationState == Qt::ApplicationActive && isVisible() && !m_connections->job())
        refresh();
}
