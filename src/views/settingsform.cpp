#include "views/settingsform.h"

#include "app/appstate.h"
#include "app/desktop.h"
#include "claude/clauderunner.h"
#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "core/ownthread.h"
#include "figma/figmaerror.h"
#include "figma/figmarest.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "settings/updater.h"
#include "views/connectionsview.h"
#include "views/reporow.h"
#include "views/serviceaddresses.h"
#include "views/updaterow.h"
#include "views/viewstyle.h"

#include <QButtonGroup>
#include <QCoroTask>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString savedPlaceholder = QStringLiteral("저장됨 — 바꾸려면 새로 입력");
const QString keychainRefused = QStringLiteral("✗ 키링에 저장하지 못했어요");
const QString keychainWaiting = QStringLiteral("키링의 대답을 기다리는 중…");

void showText(QLineEdit *field, const QString &text)
{
    if (field->text() != text)
        field->setText(text);
}

QHBoxLayout *bareRow()
{
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    return row;
}

// A row with a label before its content, as the form's labelled rows are.
QWidget *labelled(const QString &label, QWidget *content, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *name = new QLabel(label, row);
    layout->addWidget(name, 0, Qt::AlignTop);
    content->setParent(row);
    layout->addWidget(content, 1);
    return row;
}

QLabel *statusLine(QWidget *parent)
{
    QLabel *line = ViewStyle::plainLabel(QString(), parent);
    ViewStyle::font(line, ViewStyle::Font::callout);
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->hide();
    return line;
}

// Stores the value and reads back what is left: whether the store took it,
// and what a read finds now.
std::pair<bool, Keychain::Reading> store(Keychain::Item item, const QString &value)
{
    const bool stored = Keychain::set(item, value);
    return {stored, Keychain::read(item)};
}

// A reading that may hold a secret: a locked or broken keychain is no
// missing one.
bool saved(const Keychain::Reading &reading)
{
    return reading.outcome != Keychain::Reading::Outcome::absent;
}

// The status line of a reading: empty when a secret is there or not, the
// keychain's sentence when it could not be read or used.
QString problemLine(const Keychain::Reading &reading)
{
    return reading.problem.isEmpty() ? QString() : QStringLiteral("✗ ") + reading.problem;
}

} // namespace

SettingsForm::SettingsForm(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(22);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("settingsProblem"));
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setWordWrap(true);
    m_problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ViewStyle::tone(m_problem, ViewStyle::Tone::red);
    column->addWidget(m_problem);

    m_connections = new ConnectionsView(state, &Connections::shared(), this);
    column->addWidget(group(QStringLiteral("계정 연결"),
                            QStringLiteral("계획서를 만들고 고칠 때 각자 컴퓨터의 Claude Code 가 일해요. 버튼을 누르면 "
                                           "브라우저가 열려요. 거기서 로그인·허용만 하면 앱이 알아서 연결해요."),
                            m_connections));
    column->addWidget(group(QStringLiteral("나"), QString(), buildName()));
    column->addWidget(group(QStringLiteral("저장소"),
                            QStringLiteral("참고할 로컬 저장소 경로를 넣어 주세요. 계획서를 만들 때 이름 규칙과 기존 "
                                           "코드를, 개발하기 때 코드를 쓸 곳으로 써요."),
                            buildRepositories()));
    column->addWidget(group(QStringLiteral("피그마"), QString(), buildFigma()));
    column->addWidget(group(QStringLiteral("Claude"), QString(), buildClaude()));
    column->addWidget(
        group(QStringLiteral("저장 위치"), QStringLiteral("계획서마다 이 아래에 폴더가 하나씩 생겨요."), buildOutput()));
    column->addWidget(group(QStringLiteral("앱 정보"), QString(), buildAbout()));
    column->addStretch(1);

    connect(m_state, &AppState::settingsChanged, this, &SettingsForm::follow);
    // The rows above were checked again ("다시 확인", a tool installed
    // meanwhile): the Claude field below must not tell an older story.
    connect(&Connections::shared(), &Connections::claudeChanged, this, [this] {
        // A search under way checks what it finds itself; checking now
        // would drop its answer.
        if (m_shownOnce && m_claudeSerial != m_findSerial)
            checkClaude();
        if (m_keyUnreadable)
            readSaved(Keychain::Item::anthropicKey);
    });
    connect(&Connections::shared(), &Connections::figmaChanged, this, [this] {
        if (m_tokenUnreadable)
            readSaved(Keychain::Item::figmaToken);
    });
    follow();
    followSecrets();
}

SettingsForm::~SettingsForm()
{
    m_claudeStop.cancel();
}

QWidget *SettingsForm::group(const QString &title, const QString &note, QWidget *content)
{
    auto *section = new QWidget(this);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto *heading = new QLabel(title, section);
    ViewStyle::font(heading, ViewStyle::Font::headline);
    layout->addWidget(heading);
    if (!note.isEmpty()) {
        auto *text = new QLabel(note, section);
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        ViewStyle::font(text, ViewStyle::Font::callout);
        ViewStyle::tone(text, ViewStyle::Tone::secondary);
        layout->addWidget(text);
    }
    content->setParent(section);
    layout->addWidget(content);
    return section;
}

QWidget *SettingsForm::buildName()
{
    m_name = new QLineEdit;
    m_name->setPlaceholderText(QStringLiteral("결정 목록에 남는 이름"));
    connect(m_name, &QLineEdit::textEdited, this,
            [this](const QString &text) { edit([&](AppSettings &s) { s.userName = text; }); });
    return labelled(QStringLiteral("이름"), m_name, this);
}

QWidget *SettingsForm::buildRepositories()
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    m_android = new RepoRow(QStringLiteral("Android"), false, QString::fromLatin1(ServiceAddresses::androidRepository), box);
    m_ios = new RepoRow(QStringLiteral("iOS"), true, QString::fromLatin1(ServiceAddresses::iosRepository), box);
    layout->addWidget(m_android);
    layout->addWidget(m_ios);
    connect(m_android, &RepoRow::pathEdited, this,
            [this](const QString &path) { edit([&](AppSettings &s) { s.androidRepo = path; }); });
    connect(m_ios, &RepoRow::pathEdited, this,
            [this](const QString &path) { edit([&](AppSettings &s) { s.iosRepo = path; }); });
    for (RepoRow *row : {m_android, m_ios})
        connect(row, &RepoRow::chooseRequested, this, [this, row] {
            m_state->desktop().chooseFolder(this, QString(), [row = QPointer<RepoRow>(row)](const QString &path) {
                if (row)
                    row->takeChosen(path);
            });
        });
    return box;
}

QWidget *SettingsForm::buildFigma()
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto *modes = new QWidget(box);
    auto *modeColumn = new QVBoxLayout(modes);
    modeColumn->setContentsMargins(0, 0, 0, 0);
    m_mcp = new QRadioButton(QStringLiteral("Claude Code 의 Figma MCP"), modes);
    m_tokenMode = new QRadioButton(QStringLiteral("Figma 개인 토큰 (REST)"), modes);
    modeColumn->addWidget(m_mcp);
    modeColumn->addWidget(m_tokenMode);
    m_figmaModes = new QButtonGroup(this);
    m_figmaModes->addButton(m_mcp);
    m_figmaModes->addButton(m_tokenMode);
    layout->addWidget(labelled(QStringLiteral("읽는 방법"), modes, box));
    connect(m_mcp, &QRadioButton::clicked, this,
            [this] { edit([](AppSettings &s) { s.figmaMode = AppSettings::FigmaMode::mcp; }); });
    connect(m_tokenMode, &QRadioButton::clicked, this,
            [this] { edit([](AppSettings &s) { s.figmaMode = AppSettings::FigmaMode::token; }); });

    // Markdown, so that the back-quoted commands show as code.
    m_mcpNote = new QLabel(QStringLiteral("터미널에서 `claude mcp add -s user --transport http figma ")
                               + QString::fromLatin1(ServiceAddresses::figmaMCP)
                               + QStringLiteral("` 로 추가하고, `claude` 안에서 /mcp 로 Figma 에 로그인해 두면 돼요. "
                                                "토큰이 필요 없어요."),
                           box);
    m_mcpNote->setTextFormat(Qt::MarkdownText);
    m_mcpNote->setWordWrap(true);
    m_mcpNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ViewStyle::font(m_mcpNote, ViewStyle::Font::callout);
    ViewStyle::tone(m_mcpNote, ViewStyle::Tone::secondary);
    layout->addWidget(m_mcpNote);

    m_tokenRows = new QWidget(box);
    auto *rows = new QVBoxLayout(m_tokenRows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(8);
    auto *tokenRow = bareRow();
    m_token = new QLineEdit(m_tokenRows);
    m_token->setEchoMode(QLineEdit::Password);
    tokenRow->addWidget(m_token, 1);
    m_tokenSave = new QPushButton(QStringLiteral("저장"), m_tokenRows);
    m_tokenCheck = new QPushButton(QStringLiteral("연결 확인"), m_tokenRows);
    tokenRow->addWidget(m_tokenSave);
    tokenRow->addWidget(m_tokenCheck);
    rows->addLayout(tokenRow);
    auto *help = bareRow();
    help->setSpacing(4);
    auto *helpText = new QLabel(
        QStringLiteral("Figma → Settings → Security → Personal access tokens 에서 만들어요 (File content: Read)."),
        m_tokenRows);
    helpText->setTextFormat(Qt::PlainText);
    helpText->setWordWrap(true);
    ViewStyle::font(helpText, ViewStyle::Font::callout);
    ViewStyle::tone(helpText, ViewStyle::Tone::secondary);
    help->addWidget(helpText, 1);
    auto *open = new QPushButton(QStringLiteral("열기"), m_tokenRows);
    open->setObjectName(QStringLiteral("tokenHelpLink"));
    open->setFlat(true);
    open->setCursor(Qt::PointingHandCursor);
    ViewStyle::font(open, ViewStyle::Font::callout);
    // The button keeps its own text colour: only the tone is recorded.
    open->setProperty("tone", ViewStyle::toneName(ViewStyle::Tone::accent));
    help->addWidget(open);
    rows->addLayout(help);
    m_figmaStatus = statusLine(m_tokenRows);
    rows->addWidget(m_figmaStatus);
    layout->addWidget(m_tokenRows);

    connect(m_tokenSave, &QPushButton::clicked, this, &SettingsForm::saveToken);
    connect(m_tokenCheck, &QPushButton::clicked, this, &SettingsForm::checkToken);
    connect(open, &QPushButton::clicked, this,
            [this] { m_state->openAddress(QUrl(QString::fromLatin1(ServiceAddresses::figmaTokenSettings))); });
    return box;
}

QWidget *SettingsForm::buildClaude()
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto *pathRow = bareRow();
    m_claudePath = new QLineEdit(box);
    m_claudePath->setPlaceholderText(QStringLiteral("claude 실행 파일 경로"));
    pathRow->addWidget(m_claudePath, 1);
    m_find = new QPushButton(QStringLiteral("찾기"), box);
    m_check = new QPushButton(QStringLiteral("확인"), box);
    pathRow->addWidget(m_find);
    pathRow->addWidget(m_check);
    layout->addLayout(pathRow);
    m_claudeStatus = statusLine(box);
    layout->addWidget(m_claudeStatus);

    auto *auths = new QWidget(box);
    auto *authColumn = new QVBoxLayout(auths);
    authColumn->setContentsMargins(0, 0, 0, 0);
    m_login = new QRadioButton(QStringLiteral("Claude Code 로그인 (위 계정 연결에서 로그인)"), auths);
    m_apiKeyMode = new QRadioButton(QStringLiteral("Anthropic API 키"), auths);
    authColumn->addWidget(m_login);
    authColumn->addWidget(m_apiKeyMode);
    m_auths = new QButtonGroup(this);
    m_auths->addButton(m_login);
    m_auths->addButton(m_apiKeyMode);
    layout->addWidget(labelled(QStringLiteral("인증"), auths, box));

    m_apiKeyRow = new QWidget(box);
    auto *keyColumn = new QVBoxLayout(m_apiKeyRow);
    keyColumn->setContentsMargins(0, 0, 0, 0);
    keyColumn->setSpacing(4);
    auto *keyRow = bareRow();
    m_apiKey = new QLineEdit(m_apiKeyRow);
    m_apiKey->setEchoMode(QLineEdit::Password);
    keyRow->addWidget(m_apiKey, 1);
    m_apiKeySave = new QPushButton(QStringLiteral("저장"), m_apiKeyRow);
    keyRow->addWidget(m_apiKeySave);
    keyColumn->addLayout(keyRow);
    m_apiKeyStatus = statusLine(m_apiKeyRow);
    keyColumn->addWidget(m_apiKeyStatus);
    layout->addWidget(m_apiKeyRow);

    m_model = new QLineEdit;
    m_model->setPlaceholderText(QStringLiteral("비우면 Claude Code 기본값"));
    layout->addWidget(labelled(QStringLiteral("모델"), m_model, box));

    connect(m_claudePath, &QLineEdit::textEdited, this, [this](const QString &text) {
        // A search or check still on its way is about the path before this
        // edit: a late search would overwrite what the user typed.
        ++m_claudeSerial;
        edit([&](AppSettings &s) { s.claudePath = text; });
    });
    connect(m_find, &QPushButton::clicked, this, &SettingsForm::findTool);
    connect(m_check, &QPushButton::clicked, this, &SettingsForm::checkClaude);
    connect(m_login, &QRadioButton::clicked, this,
            [this] { edit([](AppSettings &s) { s.claudeAuth = AppSettings::ClaudeAuth::login; }); });
    connect(m_apiKeyMode, &QRadioButton::clicked, this,
            [this] { edit([](AppSettings &s) { s.claudeAuth = AppSettings::ClaudeAuth::apiKey; }); });
    connect(m_apiKeySave, &QPushButton::clicked, this, &SettingsForm::saveApiKey);
    connect(m_model, &QLineEdit::textEdited, this,
            [this](const QString &text) { edit([&](AppSettings &s) { s.claudeModel = text; }); });
    return box;
}

QWidget *SettingsForm::buildOutput()
{
    auto *box = new QWidget;
    auto *row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    m_output = new QLineEdit(box);
    row->addWidget(m_output, 1);
    m_outputChoose = new QPushButton(QStringLiteral("선택…"), box);
    row->addWidget(m_outputChoose);
    connect(m_output, &QLineEdit::textEdited, this,
            [this](const QString &text) { edit([&](AppSettings &s) { s.outputDir = text; }); });
    connect(m_outputChoose, &QPushButton::clicked, this, &SettingsForm::chooseOutput);
    return box;
}

QWidget *SettingsForm::buildAbout()
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    m_version = ViewStyle::plainLabel(versionText(), box);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(labelled(QStringLiteral("버전"), m_version, box));
    m_update = new UpdateRow(&Updater::shared(), box);
    layout->addWidget(m_update);
    return box;
}

QString SettingsForm::versionText()
{
    const QString version = Updater::Bundle::running().version;
    return version.isEmpty() ? QStringLiteral("개발용") : version;
}

void SettingsForm::edit(const std::function<void(AppSettings &)> &change)
{
    AppSettings settings = m_state->settings();
    change(settings);
    m_state->setSettings(settings);
}

void SettingsForm::follow()
{
    const AppSettings &settings = m_state->settings();
    showText(m_name, settings.userName);
    m_android->setPath(settings.androidRepo);
    m_ios->setPath(settings.iosRepo);
    const bool tokenMode = settings.figmaMode == AppSettings::FigmaMode::token;
    QRadioButton *mode = tokenMode ? m_tokenMode : m_mcp;
    if (!mode->isChecked())
        mode->setChecked(true);
    m_mcpNote->setVisible(!tokenMode);
    m_tokenRows->setVisible(tokenMode);
    showText(m_claudePath, settings.claudePath);
    const bool apiKeyMode = settings.claudeAuth == AppSettings::ClaudeAuth::apiKey;
    QRadioButton *auth = apiKeyMode ? m_apiKeyMode : m_login;
    if (!auth->isChecked())
        auth->setChecked(true);
    m_apiKeyRow->setVisible(apiKeyMode);
    showText(m_model, settings.claudeModel);
    showText(m_output, settings.outputDir);
    const std::optional<QString> &problem = m_state->settingsProblem();
    m_problem->setText(problem.value_or(QString()));
    m_problem->setVisible(problem.has_value());
    readNeeded();
}

void SettingsForm::followSecrets()
{
    m_token->setPlaceholderText(m_tokenSaved ? savedPlaceholder
                                             : QString::fromLatin1(ServiceAddresses::figmaTokenPrefix) + QStringLiteral("…"));
    m_token->setEnabled(!m_tokenWaiting);
    m_tokenSave->setEnabled(!m_tokenWaiting);
    m_tokenCheck->setEnabled(m_tokenSaved && !m_tokenWaiting);
    m_apiKey->setPlaceholderText(m_keySaved ? savedPlaceholder
                                            : QString::fromLatin1(ServiceAddresses::anthropicKeyPrefix) + QStringLiteral("…"));
    m_apiKey->setEnabled(!m_keyWaiting);
    m_apiKeySave->setEnabled(!m_keyWaiting);
}

void SettingsForm::setFigmaStatus(const QString &text)
{
    m_figmaStatus->setText(text);
    m_figmaStatus->setVisible(!text.isEmpty());
}

void SettingsForm::setKeyStatus(const QString &text)
{
    m_apiKeyStatus->setText(text);
    m_apiKeyStatus->setVisible(!text.isEmpty());
}

void SettingsForm::setClaudeStatus(const QString &text)
{
    m_claudeStatus->setText(text);
    m_claudeStatus->setVisible(!text.isEmpty());
}

void SettingsForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    m_shownOnce = true;
    readNeeded();
    if (m_claudeStatus->text().isEmpty())
        checkClaude();
}

// A locked keyring raises its unlock prompt when asked: the form asks only
// for the secrets its modes use (none with Figma's MCP and Claude's login).
void SettingsForm::readNeeded()
{
    if (!m_shownOnce)
        return;
    const AppSettings &settings = m_state->settings();
    if (settings.figmaMode == AppSettings::FigmaMode::token && !std::exchange(m_tokenRead, true))
        readSaved(Keychain::Item::figmaToken);
    if (settings.claudeAuth == AppSettings::ClaudeAuth::apiKey && !std::exchange(m_keyRead, true))
        readSaved(Keychain::Item::anthropicKey);
}

quint64 &SettingsForm::serial(Keychain::Item item)
{
    return item == Keychain::Item::figmaToken ? m_figmaSerial : m_keySerial;
}

bool &SettingsForm::waiting(Keychain::Item item)
{
    return item == Keychain::Item::figmaToken ? m_tokenWaiting : m_keyWaiting;
}

template<typename Work, typename Done>
void SettingsForm::askKeychain(Keychain::Item item, const QString &waitingText, Work work, Done done)
{
    const quint64 asked = ++serial(item);
    waiting(item) = true;
    if (item == Keychain::Item::figmaToken)
        setFigmaStatus(waitingText);
    else
        setKeyStatus(waitingText);
    followSecrets();
    OwnThread::run(this, std::move(work), [this, item, asked, done = std::move(done)](auto answer) mutable {
        if (serial(item) != asked)
            return;
        waiting(item) = false;
        done(std::move(answer));
        followSecrets();
    });
}

void SettingsForm::readSaved(Keychain::Item item)
{
    askKeychain(item, keychainWaiting, [item] { return Keychain::read(item); },
                [this, item](const Keychain::Reading &reading) {
                    const bool unreadable = reading.outcome == Keychain::Reading::Outcome::unreadable;
                    if (item == Keychain::Item::figmaToken) {
                        m_tokenSaved = saved(reading);
                        m_tokenUnreadable = unreadable;
                        setFigmaStatus(problemLine(reading));
                    } else {
                        m_keySaved = saved(reading);
                        m_keyUnreadable = unreadable;
                        setKeyStatus(problemLine(reading));
                    }
                });
}

// A value the keychain would refuse is named at once, and the typed text
// stays so that the person can mend it. Like a save, it takes the row's
// next number: a check still on its way must not cover the sentence.
bool SettingsForm::refused(Keychain::Item item, const QString &typed)
{
    const QString refusal = Keychain::refusal(item, typed);
    if (refusal.isEmpty())
        return false;
    ++serial(item);
    if (item == Keychain::Item::figmaToken)
        setFigmaStatus(QStringLiteral("✗ ") + refusal);
    else
        setKeyStatus(QStringLiteral("✗ ") + refusal);
    return true;
}

void SettingsForm::saveToken()
{
    // Asking takes the row's next number: a check still on its way would
    // describe the token this save replaces.
    const QString typed = m_token->text();
    if (refused(Keychain::Item::figmaToken, typed))
        return;
    askKeychain(Keychain::Item::figmaToken, keychainWaiting,
                [typed] { return store(Keychain::Item::figmaToken, typed); },
                [this](const std::pair<bool, Keychain::Reading> &answer) {
                    m_tokenSaved = saved(answer.second);
                    if (!answer.first) {
                        // The typed token stays, so the user can try again.
                        setFigmaStatus(keychainRefused);
                        return;
                    }
                    m_token->clear();
                    setFigmaStatus(m_tokenSaved ? QStringLiteral("키링에 저장했어요") : QStringLiteral("지웠어요"));
                });
}

void SettingsForm::checkToken()
{
    // The person asks: a locked keyring is asked again.
    Keychain::askAgain();
    askKeychain(Keychain::Item::figmaToken, QStringLiteral("확인 중…"),
                [] { return Keychain::read(Keychain::Item::figmaToken); },
                [this](const Keychain::Reading &token) {
                    // The read tells the row what is saved now, whoever
                    // changed it.
                    m_tokenSaved = saved(token);
                    switch (token.outcome) {
                    case Keychain::Reading::Outcome::found:
                        checkFigma(this, m_figmaSerial, token.value);
                        return;
                    case Keychain::Reading::Outcome::absent:
                        setFigmaStatus(QStringLiteral("토큰이 없어요"));
                        return;
                    case Keychain::Reading::Outcome::unreadable:
                        setFigmaStatus(problemLine(token));
                        return;
                    }
                });
}

QCoro::Task<> SettingsForm::checkFigma(QPointer<SettingsForm> form, quint64 serial, QString token)
{
    QString line;
    const FigmaREST rest{token};
    try {
        // Named, not a temporary of the co_await: GCC 12 would destroy it twice.
        QCoro::Task<QString> asked = rest.me();
        const QString account = co_await std::move(asked);
        line = QStringLiteral("✓ ") + account;
    } catch (const FigmaError &error) {
        line = QStringLiteral("✗ ") + error.message;
    } catch (const NetworkError &error) {
        line = QStringLiteral("✗ ") + error.message;
    } catch (const JSONDecodeError &error) {
        line = QStringLiteral("✗ ") + error.message;
    }
    // The form may have closed meanwhile, or a later check or save may have
    // made this answer stale.
    if (form && form->m_figmaSerial == serial)
        form->setFigmaStatus(line);
}

void SettingsForm::saveApiKey()
{
    const QString typed = m_apiKey->text();
    if (refused(Keychain::Item::anthropicKey, typed))
        return;
    askKeychain(Keychain::Item::anthropicKey, keychainWaiting,
                [typed] { return store(Keychain::Item::anthropicKey, typed); },
                [this](const std::pair<bool, Keychain::Reading> &answer) {
                    m_keySaved = saved(answer.second);
                    setKeyStatus(answer.first ? QString() : keychainRefused);
                    if (answer.first)
                        m_apiKey->clear();
                });
}

void SettingsForm::checkClaude()
{
    const quint64 serial = ++m_claudeSerial;
    ClaudeRunner runner;
    runner.path = m_state->settings().claudePath;
    OwnThread::run(
        this, [runner, stop = m_claudeStop] { return runner.version(stop); },
        [this, serial](const std::optional<QString> &version) {
            if (serial != m_claudeSerial)
                return;
            if (version)
                setClaudeStatus(QStringLiteral("✓ ") + *version);
            else
                setClaudeStatus(QStringLiteral("✗ 실행하지 못했어요. ") + QString::fromLatin1(ServiceAddresses::claudeCodeProduct)
                                + QStringLiteral(" 에서 설치해 주세요."));
        });
}

void SettingsForm::findTool()
{
    const quint64 serial = ++m_claudeSerial;
    m_findSerial = serial;
    OwnThread::run(
        this, [stop = m_claudeStop] { return ClaudeRunner::findClaude(stop); },
        [this, serial](const std::optional<QString> &found) {
            if (serial != m_claudeSerial)
                return;
            edit([&](AppSettings &s) { s.claudePath = found.value_or(QString()); });
            checkClaude();
        });
}

void SettingsForm::chooseOutput()
{
    m_state->desktop().chooseFolder(this, QString(), [self = QPointer<SettingsForm>(this)](const QString &folder) {
        if (!self)
            return;
        self->edit([&](AppSettings &s) { s.outputDir = folder; });
        self->m_state->refresh();
    });
}
