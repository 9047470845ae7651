#include "views/newplanview.h"

#include "app/appstate.h"
#include "core/ownthread.h"
#include "figma/figmalink.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "settings/appsettings.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "views/blanktext.h"
#include "views/claudecheck.h"
#include "views/newplanaction.h"
#include "views/settingslink.h"
#include "views/viewstyle.h"

#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

const QString figmaDomain = QStringLiteral("figma.com");
const QString emptyHint = QStringLiteral("값을 입력해 주세요");
const QString featureRule = QStringLiteral("PascalCase. 모든 화면·모델 이름 앞에 붙어요 (예: HarborClips)");

// The form whose start attempt NewPlanAction holds; a form that goes away
// clears the action only when it is still its own.
QPointer<NewPlanView> publisher;

const QString redOutline = QStringLiteral("border: 1.5px solid #d72638; border-radius: 6px; padding: 2px;");

QLabel *wrapped(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

void setBad(QWidget *field, bool bad, bool outline)
{
    if (field->property("bad").toBool() == bad && field->property("bad").isValid())
        return;
    field->setProperty("bad", bad);
    if (outline)
        field->setStyleSheet(bad ? redOutline : QString());
}

void showHint(QLabel *label, const NewPlanView::Hint &hint)
{
    label->setText(hint.text);
    ViewStyle::tone(label, hint.bad ? ViewStyle::Tone::red : ViewStyle::Tone::secondary);
}

bool isLineSeparator(char16_t c)
{
    switch (c) {
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

} // namespace

namespace {

// Why the secret cannot be used; empty when it can.
QString secretIssue(Keychain::Item item, const QString &missing)
{
    const Keychain::Reading reading = Keychain::read(item);
    switch (reading.outcome) {
    case Keychain::Reading::Outcome::found:
        return {};
    case Keychain::Reading::Outcome::absent:
        return missing;
    case Keychain::Reading::Outcome::unreadable:
        break;
    }
    return reading.problem;
}

} // namespace

bool NewPlanView::Secrets::needed(const AppSettings &settings)
{
    return settings.figmaMode == AppSettings::FigmaMode::token || settings.claudeAuth == AppSettings::ClaudeAuth::apiKey;
}

NewPlanView::Secrets NewPlanView::Secrets::read(const AppSettings &settings)
{
    Secrets secrets;
    if (settings.figmaMode == AppSettings::FigmaMode::token)
        secrets.figmaToken = secretIssue(Keychain::Item::figmaToken, QStringLiteral("Figma 토큰이 없어요"));
    if (settings.claudeAuth == AppSettings::ClaudeAuth::apiKey)
        secrets.anthropicKey = secretIssue(Keychain::Item::anthropicKey, QStringLiteral("Anthropic API 키가 없어요"));
    return secrets;
}

bool NewPlanView::featureOK(const QString &feature)
{
    // \z, not $: "$" would also accept a prefix followed by one line break.
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Z][A-Za-z0-9]+\\z"));
    return pattern.match(feature).hasMatch();
}

QStringList NewPlanView::readyIssues(bool claudeOK, const Secrets &secrets)
{
    QStringList issues;
    if (!claudeOK)
        issues.append(QStringLiteral("Claude Code 를 찾지 못했어요"));
    for (const QString &issue : {secrets.figmaToken, secrets.anthropicKey})
        if (!issue.isEmpty())
            issues.append(issue);
    return issues;
}

NewPlanView::Hint NewPlanView::linkHint(const QString &url, bool tried)
{
    if (const std::optional<FigmaLink> link = FigmaLink::parse(url))
        return {QStringLiteral("fileKey ") + link->fileKey + QStringLiteral(" · node ") + link->nodeId, false};
    if (!url.isEmpty())
        return {QStringLiteral("node-id 가 있는 ") + figmaDomain + QStringLiteral(" 링크가 아니에요"), true};
    if (tried)
        return {emptyHint, true};
    return {QStringLiteral("섹션이나 프레임을 우클릭 → Copy link"), false};
}

NewPlanView::Hint NewPlanView::featureHint(const QString &feature, bool tried)
{
    if (!feature.isEmpty())
        return featureOK(feature) ? Hint{featureRule, false}
                                  : Hint{QStringLiteral("영문 대문자로 시작하는 PascalCase 로 써 주세요"), true};
    if (tried)
        return {emptyHint, true};
    return {featureRule, false};
}

QStringList NewPlanView::lines(const QString &text)
{
    QStringList entries;
    qsizetype begin = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isLineSeparator(text.at(i).unicode()))
            continue;
        const QString entry = BlankText::trimmed(text.mid(begin, i - begin));
        if (!entry.isEmpty())
            entries.append(entry);
        begin = i + 1;
    }
    return entries;
}

NewPlanView::NewPlanView(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_check(new ClaudeCheck(this))
{
    setObjectName(QStringLiteral("newPlanView"));
    setWindowTitle(QStringLiteral("quarrystone"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(buildForm());
    layout->addWidget(scroll);

    connect(m_check, &ClaudeCheck::finished, this, [this](bool found) {
        m_claudeOK = found;
        redraw();
        publish();
    });
    connect(state, &AppState::settingsChanged, this, &NewPlanView::settingsChanged);
    // A keyring unlocked through the prompt another check raised (the
    // settings' "다시 확인"): the note on a secret that could not be read
    // goes as soon as that check has read it, the typed form staying.
    for (auto changed : {&Connections::figmaChanged, &Connections::claudeChanged})
        connect(&Connections::shared(), changed, this, [this] {
            if (!m_secrets.figmaToken.isEmpty() || !m_secrets.anthropicKey.isEmpty())
                readSecrets();
        });
    for (QLineEdit *edit : {m_url, m_feature})
        connect(edit, &QLineEdit::textChanged, this, [this] {
            redraw();
            publish();
        });
    redraw();
}

NewPlanView::~NewPlanView()
{
    if (publisher == this)
        NewPlanAction::shared().start = nullptr;
}

QWidget *NewPlanView::buildForm()
{
    auto *form = new QWidget(this);
    auto *column = new QVBoxLayout(form);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(18);

    auto *intro = wrapped(QStringLiteral("피그마·기획서·API 문서로 Android·iOS 가 같이 보는 개발 계획서를 만들어요. "
                                         "피그마만 있으면 시작할 수 있어요."),
                          form);
    ViewStyle::tone(intro, ViewStyle::Tone::secondary);
    column->addWidget(intro);
    column->addWidget(sharedPageCard());
    column->addWidget(ViewStyle::divider(form));

    m_url = new QLineEdit(form);
    m_url->setObjectName(QStringLiteral("url"));
    m_url->setPlaceholderText(QStringLiteral("https://www.figma.com/design/…?node-id=…"));
    column->addWidget(field(QStringLiteral("피그마 섹션 URL"), true, &m_urlHint, m_url));

    m_specDocs = docEditor(QStringLiteral("specDocs"));
    QLabel *specHint = nullptr;
    column->addWidget(field(QStringLiteral("Wiki 기획서 (선택)"), false, &specHint, m_specDocs));
    showHint(specHint, {QStringLiteral("있으면 넣어요. 화면에 안 보이는 정책·조건·예외 흐름을 기획서대로 맞추고, "
                                       "피그마와 다른 곳은 결정 필요로 남겨요"),
                        false});
    m_apiDocs = docEditor(QStringLiteral("apiDocs"));
    QLabel *apiHint = nullptr;
    column->addWidget(field(QStringLiteral("Wiki API 문서 (선택)"), false, &apiHint, m_apiDocs));
    showHint(apiHint, {QStringLiteral("아직 없으면 비워 두세요. 나중에 나오면 계획서 화면의 “고치기” 에 Wiki 주소를 "
                                      "쓰면 반영돼요. 넣으면 API·모델·워드민트 키를 문서대로 맞춰요"),
                       false});
    auto *note = wrapped(QStringLiteral("Wiki 문서는 Confluence 페이지 URL 또는 .md 파일 경로예요. 여러 개면 줄을 "
                                        "바꿔요 (Claude Code 에 Atlassian MCP 가 연결돼 있어야 해요)."),
                         form);
    ViewStyle::font(note, ViewStyle::Font::caption);
    ViewStyle::tone(note, ViewStyle::Tone::secondary);
    column->addWidget(note);
    column->addWidget(ViewStyle::divider(form));

    m_feature = new QLineEdit(form);
    m_feature->setObjectName(QStringLiteral("feature"));
    m_feature->setPlaceholderText(QStringLiteral("HarborClips"));
    column->addWidget(field(QStringLiteral("기능 접두어"), true, &m_featureHint, m_feature));

    m_title = new QLineEdit(form);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setPlaceholderText(QStringLiteral("항구 클립 모음"));
    QLabel *titleHint = nullptr;
    column->addWidget(field(QStringLiteral("제목 (선택)"), false, &titleHint, m_title));
    showHint(titleHint, {QStringLiteral("비우면 기획서·피그마에서 정해요"), false});

    m_notes = new QPlainTextEdit(form);
    m_notes->setObjectName(QStringLiteral("notes"));
    m_notes->setMinimumHeight(90);
    m_notes->setTabChangesFocus(true);
    QLabel *notesHint = nullptr;
    column->addWidget(field(QStringLiteral("추가 설명 (선택)"), false, &notesHint, m_notes));
    showHint(notesHint, {QStringLiteral("문서에 없는 것: 정해진 것, 피그마에 없는 화면, 이번에 빼는 범위 등"), false});

    for (QWidget *never : {static_cast<QWidget *>(m_title), static_cast<QWidget *>(m_notes),
                           static_cast<QWidget *>(m_apiDocs), static_cast<QWidget *>(m_specDocs)})
        never->setProperty("bad", false);

    column->addWidget(readinessBox());
    // Room for the floating pills below the last field.
    column->addSpacing(64);
    column->addStretch(1);
    return form;
}

QWidget *NewPlanView::field(const QString &title, bool required, QLabel **hint, QWidget *content)
{
    auto *box = new QWidget(content->parentWidget());
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto *label = new QHBoxLayout;
    label->setSpacing(0);
    auto *name = new QLabel(title, box);
    ViewStyle::font(name, ViewStyle::Font::headline);
    label->addWidget(name);
    if (required) {
        auto *star = new QLabel(QStringLiteral(" *"), box);
        ViewStyle::font(star, ViewStyle::Font::headline);
        ViewStyle::tone(star, ViewStyle::Tone::red);
        label->addWidget(star);
    }
    label->addStretch(1);
    column->addLayout(label);
    column->addWidget(content);
    *hint = wrapped(QString(), box);
    (*hint)->setObjectName(content->objectName() + QStringLiteral("Hint"));
    (*hint)->setTextFormat(Qt::PlainText);
    ViewStyle::font(*hint, ViewStyle::Font::caption);
    column->addWidget(*hint);
    return box;
}

QWidget *NewPlanView::sharedPageCard()
{
    auto *card = new QFrame(this);
    card->setObjectName(QStringLiteral("sharedPageCard"));
    ViewStyle::roundedFill(card, QStringLiteral("rgba(128, 128, 128, 36)"));
    auto *row = new QHBoxLayout(card);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    auto *icon = new QLabel(card);
    ViewStyle::symbol(icon, QStringLiteral("doc.richtext"), ViewStyle::Tone::secondary, 24);
    row->addWidget(icon);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *heading = new QLabel(QStringLiteral("공유받은 계획서 HTML 로 시작하기"), card);
    ViewStyle::font(heading, ViewStyle::Font::headline);
    auto *caption = wrapped(QStringLiteral("다른 사람이 내보낸 HTML 을 고르거나 이 창에 끌어다 놓으면 새 계획서로 "
                                           "열려요(지금 계획서는 그대로). 만들기 비용이 들지 않아요."),
                            card);
    ViewStyle::font(caption, ViewStyle::Font::caption);
    ViewStyle::tone(caption, ViewStyle::Tone::secondary);
    texts->addWidget(heading);
    texts->addWidget(caption);
    row->addLayout(texts, 1);
    auto *open = new QPushButton(QStringLiteral("HTML 열기…"), card);
    open->setObjectName(QStringLiteral("importButton"));
    open->setAutoDefault(false);
    connect(open, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->importPanel();
    });
    row->addWidget(open);
    return card;
}

QPlainTextEdit *NewPlanView::docEditor(const QString &name)
{
    auto *editor = new QPlainTextEdit(this);
    editor->setObjectName(name);
    editor->setMinimumHeight(44);
    editor->setMaximumHeight(88);
    editor->setTabChangesFocus(true);
    ViewStyle::monospaced(editor);
    return editor;
}

QWidget *NewPlanView::readinessBox()
{
    auto *box = new QFrame(this);
    box->setObjectName(QStringLiteral("readiness"));
    ViewStyle::roundedFill(box, QStringLiteral("rgba(224, 123, 0, 20)"));
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(4);
    m_issueLines = new QVBoxLayout;
    m_issueLines->setSpacing(4);
    column->addLayout(m_issueLines);
    QAbstractButton *link = SettingsLink::make(QStringLiteral("설정 열기"), QString(), box);
    ViewStyle::font(link, ViewStyle::Font::callout);
    ViewStyle::tone(link, ViewStyle::Tone::orange);
    column->addWidget(link, 0, Qt::AlignLeft);
    m_readiness = box;
    return box;
}

void NewPlanView::redraw()
{
    const Hint link = linkHint(m_url->text(), m_tried);
    showHint(m_urlHint, link);
    setBad(m_url, link.bad, true);
    const Hint feature = featureHint(m_feature->text(), m_tried);
    showHint(m_featureHint, feature);
    setBad(m_feature, feature.bad, true);

    const QStringList issues = readyIssues(m_claudeOK, m_secrets);
    QStringList shown;
    for (int i = 0; i < m_issueLines->count(); ++i)
        shown.append(static_cast<QLabel *>(m_issueLines->itemAt(i)->widget())->text());
    QStringList wanted;
    for (const QString &issue : issues)
        wanted.append(QStringLiteral("• ") + issue);
    if (shown != wanted) {
        while (QLayoutItem *item = m_issueLines->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        for (const QString &line : wanted) {
            auto *label = ViewStyle::plainLabel(line, m_readiness);
            ViewStyle::font(label, ViewStyle::Font::callout);
            ViewStyle::tone(label, ViewStyle::Tone::orange);
            m_issueLines->addWidget(label);
        }
    }
    m_readiness->setVisible(!issues.isEmpty());
}

void NewPlanView::readSecrets()
{
    if (!m_state)
        return;
    const AppSettings settings = m_state->settings();
    m_secretModes = {settings.figmaMode, settings.claudeAuth};
    // The store may wait for an unlock prompt: it is asked on a thread of
    // its own while the window goes on, and only the newest answer counts.
    const int asked = ++m_secretsAsked;
    OwnThread::run(
        this, [settings] { return Secrets::read(settings); },
        [this, asked](Secrets secrets) {
            if (asked != m_secretsAsked)
                return;
            m_secrets = secrets;
            redraw();
            if (std::exchange(m_startAsked, false))
                startIfReady();
        });
}

void NewPlanView::checkClaude()
{
    if (m_state)
        m_check->check(m_state->settings().claudePath);
}

void NewPlanView::settingsChanged()
{
    if (!m_state)
        return;
    const AppSettings &settings = m_state->settings();
    if (settings.claudePath != m_check->path())
        checkClaude();
    // The store is asked again only when the settings call for other
    // secrets (a secret stored meanwhile counts at a start attempt).
    if (settings.figmaMode != m_secretModes.first || settings.claudeAuth != m_secretModes.second)
        readSecrets();
    redraw();
    publish();
}

void NewPlanView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // First appearance: the tool is asked once per form and path.
    if (!std::exchange(m_checkStarted, true)) {
        checkClaude();
        m_url->setFocus();
    }
    // The form opening asks the store; a window coming back from the
    // system (restored, uncovered) does not.
    if (!event->spontaneous())
        readSecrets();
    redraw();
    publish();
}

void NewPlanView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // A form the person has left starts nothing when the keychain answers.
    if (!event->spontaneous())
        m_startAsked = false;
    if (publisher == this)
        NewPlanAction::shared().start = nullptr;
}

void NewPlanView::publish()
{
    NewPlanAction &action = NewPlanAction::shared();
    action.setCanStart(true);
    action.setHint(QStringLiteral("Ctrl+Enter"));
    publisher = this;
    action.start = [view = QPointer<NewPlanView>(this)] {
        if (view)
            view->tryStart();
    };
}

void NewPlanView::tryStart()
{
    // The pill may lag a turn behind the generator's phase.
    if (!m_state || Generator::shared().phase().isRunning())
        return;
    m_tried = true;
    redraw();
    if (!FigmaLink::parse(m_url->text()) || !featureOK(m_feature->text()))
        return;
    // Settings that need no secret start at once.
    if (!Secrets::needed(m_state->settings())) {
        m_secrets = {};
        startIfReady();
        return;
    }
    // A secret stored or unlocked meanwhile counts: the store is asked once
    // for this attempt, and the answer decides.
    if (std::exchange(m_startAsked, true))
        return;
    Keychain::askAgain();
    readSecrets();
}

void NewPlanView::startIfReady()
{
    if (!m_state || Generator::shared().phase().isRunning())
        return;
    if (!FigmaLink::parse(m_url->text()) || !featureOK(m_feature->text()))
        return;
    const QStringList issues = readyIssues(m_claudeOK, m_secrets);
    if (!issues.isEmpty()) {
        m_state->setMessage(issues.first());
        // The list of what is missing may sit below the fold: it comes into
        // view once laid out.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (auto *scroll = findChild<QScrollArea *>())
                    scroll->ensureWidgetVisible(m_readiness);
            },
            Qt::QueuedConnection);
        return;
    }
    m_tried = false;
    start();
}

void NewPlanView::start()
{
    const std::optional<FigmaLink> link = FigmaLink::parse(m_url->text());
    if (!link)
        return;
    GenerateInput input;
    input.link = *link;
    input.feature = m_feature->text();
    input.title = m_title->text();
    input.notes = m_notes->toPlainText();
    input.apiDocs = lines(m_apiDocs->toPlainText());
    input.specDocs = lines(m_specDocs->toPlainText());

    QPointer<AppState> state = m_state;
    state->setSelection(Selection::generating());
    for (QLineEdit *edit : {m_url, m_feature, m_title})
        edit->clear();
    for (QPlainTextEdit *edit : {m_notes, m_specDocs, m_apiDocs})
        edit->clear();
    m_tried = false;
    redraw();

    // The completion keeps its own handle on the state: the form is gone by
    // the time the run ends.
    Generator::shared().start(input, state->settings(), [state](const QString &dir) {
        if (!state)
            return;
        state->refresh();
        state->setSelection(Selection::plan(dir));
        state->setMessage(QStringLiteral("계획서를 만들었어요"));
    });
}
