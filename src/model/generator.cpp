#include "model/generator.h"

#include "core/ownthread.h"
#include "core/text.h"
#include "settings/connections.h"
#include "settings/keychain.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

namespace {

// Notifications of the log come at most this often; the per-line signal
// carries every line.
constexpr int logNotifyMs = 50;
constexpr qsizetype detailLimit = 120;

QDateTime now()
{
    return QDateTime::currentDateTime();
}

// "$1.25" as 1.25 whatever the user's locale; a text that is not a number
// adds nothing.
double dollars(const QString &text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    return ok && std::isfinite(value) ? value : 0;
}

} // namespace

QString Generator::title(Stage stage)
{
    switch (stage) {
    case Stage::figma:
        return QStringLiteral("피그마 읽기");
    case Stage::images:
        return QStringLiteral("화면 이미지 받기");
    case Stage::spec:
        return QStringLiteral("기획서 읽기");
    case Stage::api:
        return QStringLiteral("API 문서 읽기");
    case Stage::draft:
        return QStringLiteral("계획서 초안 만들기");
    case Stage::check:
        return QStringLiteral("검사");
    case Stage::save:
        return QStringLiteral("저장");
    }
    return QString();
}

std::optional<Generator::Stage> Generator::stageFromRaw(int raw)
{
    if (raw < 0 || raw >= int(allStages.size()))
        return std::nullopt;
    return allStages.at(std::size_t(raw));
}

Generator::Phase Generator::Phase::running(const QString &stageTitle)
{
    return Phase{Kind::running, stageTitle, QString()};
}

Generator::Phase Generator::Phase::done(const QString &dir)
{
    return Phase{Kind::done, QString(), dir};
}

Generator::Phase Generator::Phase::failed(const QString &message)
{
    return Phase{Kind::failed, message, QString()};
}

Generator::Phase Generator::Phase::idle()
{
    return Phase{};
}

QString Generator::stoppedMessage()
{
    return QStringLiteral("멈췄어요.");
}

Generator::Generator(QObject *parent)
    : QObject(parent)
{
    m_logNotify.setSingleShot(true);
    m_logNotify.setInterval(logNotifyMs);
    connect(&m_logNotify, &QTimer::timeout, this, &Generator::logChanged);
}

Generator &Generator::shared()
{
    // Never destroyed: a task may still hold it while the process exits.
    static Generator *const instance = new Generator;
    return *instance;
}

void Generator::setPhase(const Phase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    Q_EMIT phaseChanged();
}

void Generator::setLog(const QStringList &log)
{
    m_log = log;
    if (!m_logNotify.isActive())
        m_logNotify.start();
}

void Generator::setStartedAt(const std::optional<QDateTime> &at)
{
    m_startedAt = at;
    Q_EMIT startedAtChanged();
}

void Generator::setStages(const Stages &stages)
{
    if (m_stages == stages)
        return;
    m_stages = stages;
    Q_EMIT stagesChanged();
}

void Generator::setSummary(const QString &summary)
{
    if (m_summary == summary)
        return;
    m_summary = summary;
    Q_EMIT summaryChanged();
}

void Generator::setRunningDir(const std::optional<QString> &dir)
{
    if (m_runningDir == dir)
        return;
    m_runningDir = dir;
    Q_EMIT runningDirChanged();
}

void Generator::setRunningTitle(const QString &title)
{
    if (m_runningTitle == title)
        return;
    m_runningTitle = title;
    Q_EMIT runningTitleChanged();
}

void Generator::add(const QString &line)
{
    m_log.append(line);
    if (m_log.size() > logLimit)
        m_log.remove(0, m_log.size() - logLimit);
    Q_EMIT lineAdded(line);
    if (!m_logNotify.isActive())
        m_logNotify.start();
}

void Generator::begin(Stage stage, const QString &detail, int total)
{
    setPhase(Phase::running(title(stage)));
    add(QStringLiteral("▶ ") + title(stage));
    StageState state = m_stages.value(stage);
    const QDateTime at = now();
    if (state.status != StageState::Status::running)
        state.started = at;
    state.lastEvent = at;
    state.status = StageState::Status::running;
    state.detail = detail;
    state.total = total;
    state.done = 0;
    state.ended.reset();
    m_stages.insert(stage, state);
    Q_EMIT stagesChanged();
}

void Generator::finish(Stage stage, const QString &detail, bool skipped)
{
    const auto it = m_stages.find(stage);
    if (it != m_stages.end()) {
        it->status = skipped ? StageState::Status::skipped : StageState::Status::done;
        it->ended = now();
        it->detail = detail;
        Q_EMIT stagesChanged();
    }
    add(QStringLiteral("  ✓ ") + detail);
}

void Generator::observe(const QString &line, Stage stage)
{
    const auto it = m_stages.find(stage);
    if (it == m_stages.end())
        return;
    StageState &state = *it;
    state.lastEvent = now();

    static const QRegularExpression cost(QStringLiteral("\\$([0-9.]+)"));
    static const QString toolPrefix = QStringLiteral("도구: ");
    bool handled = false;
    if (line.startsWith(QLatin1String("```"))) {
        state.detail = QStringLiteral("계획서(plan.json)를 쓰는 중");
        handled = true;
    } else if (line.startsWith(QStringLiteral("끝 ("))) {
        const QRegularExpressionMatch match = cost.match(line);
        if (match.hasMatch()) {
            state.cost += dollars(match.captured(1));
            handled = true;
        }
    }
    if (!handled && line.startsWith(toolPrefix)) {
        const QString rest = line.mid(toolPrefix.size());
        if (stage == Stage::draft || stage == Stage::check) {
            if (rest.startsWith(QLatin1String("Read"))
                && (rest.endsWith(QLatin1String(".png")) || rest.endsWith(QLatin1String(".jpg")))) {
                state.done += 1;
                state.detail = QStringLiteral("화면 그림 보는 중 · %1/%2").arg(state.done).arg(std::max(state.total, state.done));
            } else if (rest.startsWith(QLatin1String("Grep")) || rest.startsWith(QLatin1String("Glob"))
                       || rest.startsWith(QLatin1String("Read"))) {
                state.detail = QStringLiteral("저장소 코드 살펴보는 중");
            }
        } else if (stage == Stage::figma) {
            if (rest.contains(QLatin1String("get_screenshot"))) {
                state.done += 1;
                state.detail = QStringLiteral("화면 그림 주소 받는 중 · %1장").arg(state.done);
            } else if (rest.contains(QLatin1String("get_metadata"))) {
                state.detail = QStringLiteral("섹션 구조 읽는 중");
            }
        }
    } else if (!handled && !line.isEmpty()) {
        state.detail = Text::graphemePrefix(line, detailLimit);
    }
    Q_EMIT stagesChanged();
}

ClaudeRunner::Progress Generator::progressSink(std::optional<Stage> stage)
{
    return sinkFor(m_runId, stage);
}

ClaudeRunner::Progress Generator::sinkFor(quint64 runId, std::optional<Stage> stage)
{
    const QPointer<Generator> weak(this);
    return [weak, runId, stage](const QString &line) {
        // Nothing of the generator is touched on the reader's thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, runId, stage, line] {
                if (!weak || weak->m_runId != runId)
                    return;
                weak->add(QStringLiteral("  ") + line);
                if (stage)
                    weak->observe(line, *stage);
            },
            Qt::QueuedConnection);
    };
}

void Generator::begin(const Run &run, Stage stage, const QString &detail, int total)
{
    if (isCurrent(run))
        begin(stage, detail, total);
}

void Generator::finish(const Run &run, Stage stage, const QString &detail, bool skipped)
{
    if (isCurrent(run))
        finish(stage, detail, skipped);
}

void Generator::finishEmpty(const Run &run, Stage stage, const QString &detail)
{
    if (!isCurrent(run))
        return;
    const auto it = m_stages.find(stage);
    if (it != m_stages.end()) {
        it->status = StageState::Status::failed;
        it->ended = now();
        it->detail = detail;
        Q_EMIT stagesChanged();
    }
    add(QStringLiteral("  ✗ ") + detail);
}

void Generator::add(const Run &run, const QString &line)
{
    if (isCurrent(run))
        add(line);
}

void Generator::update(const Run &run, Stage stage, const std::function<void(StageState &)> &change)
{
    if (!isCurrent(run))
        return;
    const auto it = m_stages.find(stage);
    if (it == m_stages.end())
        return;
    change(*it);
    Q_EMIT stagesChanged();
}

ClaudeRunner::Progress Generator::progressSink(const Run &run, std::optional<Stage> stage)
{
    return sinkFor(run.id, stage);
}

void Generator::cancel()
{
    if (m_cancel) {
        const CancelToken token = *m_cancel;
        m_cancel.reset();
        // First, so that whatever the stop wakes up finds its run replaced.
        m_runId = 0;
        token.cancel();
    }
    setPhase(Phase::failed(stoppedMessage()));
    add(QStringLiteral("멈춤"));
    const QDateTime at = now();
    bool changed = false;
    for (StageState &state : m_stages) {
        if (state.status != StageState::Status::running)
            continue;
        state.status = StageState::Status::failed;
        state.ended = at;
        state.detail = QStringLiteral("멈춤");
        changed = true;
    }
    if (changed)
        Q_EMIT stagesChanged();
}

void Generator::demoIfRequested()
{
    const QString value = qEnvironmentVariable("QUARRYSTONE_DEMO_PROGRESS");
    if (value.isEmpty())
        return;
    const QDateTime at = now();
    const auto ago = [&at](int seconds) { return std::optional<QDateTime>(at.addSecs(-seconds)); };
    using Status = StageState::Status;
    setStartedAt(ago(261));

    Stages stages = m_stages;
    StageState figma;
    figma.status = Status::done;
    figma.started = ago(261);
    figma.ended = ago(137);
    figma.detail = QStringLiteral("프레임 26개 · 라벨 21개");
    figma.cost = 0.84;
    stages.insert(Stage::figma, figma);
    StageState images;
    images.status = Status::done;
    images.started = ago(137);
    images.ended = ago(131);
    images.detail = QStringLiteral("26/26장");
    stages.insert(Stage::images, images);

    StageState draft;
    draft.started = ago(131);
    if (value == QLatin1String("done")) {
        draft.status = Status::done;
        draft.ended = ago(9);
        draft.detail = QStringLiteral("화면 12개 · 이동 31개 · 문구 48개");
        draft.cost = 1.08;
        StageState check;
        check.status = Status::done;
        check.started = ago(9);
        check.ended = ago(8);
        check.detail = QStringLiteral("문제 없음");
        StageState save;
        save.status = Status::done;
        save.started = ago(8);
        save.ended = ago(7);
        save.detail = QStringLiteral("plan.json · plan.md · index.html");
        stages.insert(Stage::draft, draft);
        stages.insert(Stage::check, check);
        stages.insert(Stage::save, save);
        setStages(stages);
        setSummary(QStringLiteral("화면 12개 · 이동 31개 · 결정 필요 9건"));
        setPhase(Phase::done(QDir::homePath() + QStringLiteral("/quarrystone/HarborClips-plan")));
        return;
    }
    if (value == QLatin1String("failed")) {
        draft.status = Status::failed;
        draft.ended = ago(40);
        draft.detail = QStringLiteral("Claude 실행 실패(종료 코드 1): 로그인이 필요해요");
        stages.insert(Stage::draft, draft);
        stages.insert(Stage::check, StageState());
        stages.insert(Stage::save, StageState());
        setStages(stages);
        setPhase(Phase::failed(QStringLiteral("Claude 실행 실패(종료 코드 1): 로그인이 필요해요\n"
                                              "터미널에서 `claude` 를 한 번 실행해 로그인해 주세요.")));
        return;
    }
    draft.status = Status::running;
    draft.detail = QStringLiteral("저장소 코드 살펴보는 중");
    draft.done = 28;
    draft.total = 28;
    draft.lastEvent = ago(47);
    stages.insert(Stage::draft, draft);
    stages.insert(Stage::check, StageState());
    stages.insert(Stage::save, StageState());
    setStages(stages);
    setPhase(Phase::running(title(Stage::draft)));
}

QCoro::Task<ClaudeRunner> Generator::makeRunner(AppSettings settings, CancelToken cancel)
{
    ClaudeRunner runner;
    runner.path = settings.claudePath;
    runner.model = settings.claudeModel;
    if (settings.claudeAuth == AppSettings::ClaudeAuth::apiKey) {
        QCoro::Task<std::optional<Keychain::Reading>> reading =
            OwnThread::result([] { return Keychain::read(Keychain::Item::anthropicKey); }, cancel);
        const std::optional<Keychain::Reading> key = co_await std::move(reading);
        cancel.throwIfCancelled();
        if (const std::optional<QString> problem = Connections::keyProblem(*key))
            throw ClaudeFailure{*problem};
        runner.apiKey = key->value;
    }
    co_return runner;
}
