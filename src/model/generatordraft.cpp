#include "model/generator.h"

#include "claude/jsonextract.h"
#include "model/prompts.h"
#include "core/atomicfile.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "model/conventions.h"
#include "settings/apppaths.h"

namespace {

constexpr qsizetype loggedProblems = 8;

// The claude tool (2.1.337) lets reads through in the working folder, the
// --add-dir folders and its own saved tool results, and refuses them
// elsewhere unless a bare "Read" allows every file; the patterns only keep
// the tools offered.
QStringList draftTools()
{
    return {QStringLiteral("Read(./**)"), QStringLiteral("Grep(./**)"), QStringLiteral("Glob(./**)")};
}

// A failed write is not worth failing the run for; the answer may be large,
// so it is written off the event loop.
QFuture<bool> writeAnswer(const QString &dir, const QString &answer)
{
    return PoolThread::run([](QString path, QString answer) { return AtomicFile::write(path, answer.toUtf8()); },
                          dir + QStringLiteral("/.claude-draft.txt"), answer);
}

QString fixPrompt(const QStringList &problems)
{
    QString prompt =
        QStringLiteral("방금 답한 plan.json 에 문제가 있다. 고쳐서 plan.json 전체를 ```json 블록 하나로 다시 답해라.");
    for (const QString &problem : problems)
        prompt += QStringLiteral("\n- ") + problem;
    return prompt;
}

} // namespace

std::pair<Plan, QStringList> Generator::decode(const QString &answer)
{
    const std::optional<QByteArray> object = JSONExtract::object(answer);
    if (!object)
        return {Plan(), {QStringLiteral("답에 JSON 이 없음")}};
    try {
        Plan plan = Plan::decode(*object);
        QStringList problems = plan.problems();
        return {std::move(plan), std::move(problems)};
    } catch (const JSONDecodeError &error) {
        return {Plan(), {QStringLiteral("JSON 을 읽지 못함: ") + error.message}};
    }
}

QStringList Generator::leftProblems(const QStringList &problems)
{
    if (problems.isEmpty())
        return {};
    QStringList lines{QStringLiteral("남은 문제 %1건은 편집 화면에서 고쳐 주세요").arg(problems.size())};
    for (const QString &problem : problems)
        lines.append(QStringLiteral("  · ") + problem);
    return lines;
}

QCoro::Task<Plan> Generator::draft(Run run, FigmaSection section, QString specDoc, QString apiDoc)
{
    const auto withImage = std::count_if(section.frames.cbegin(), section.frames.cend(),
                                         [](const FigmaFrame &frame) { return frame.image.has_value(); });
    begin(run, Stage::draft, QStringLiteral("Claude 를 시작하는 중"), int(withImage));
    const Conventions conventions = Conventions::load({run.settings.androidRepo, run.settings.iosRepo}).first;
    // The largest prompt (every frame's text boxes, two long documents) takes
    // long enough to build that it must not hold the event loop.
    const QFuture<QString> building = PoolThread::run(
        [](GenerateInput input, FigmaSection section, QString specDoc, QString apiDoc, Conventions conventions,
           QString dir, AppSettings settings) {
            return Prompts::draft(input, section, specDoc, apiDoc, conventions, dir, settings);
        },
        run.input, std::move(section), std::move(specDoc), std::move(apiDoc), conventions, run.dir, run.settings);
    const QString prompt = co_await building;
    run.cancel.throwIfCancelled();

    // The tool takes a typed "~/…" repository path literally.
    const QStringList dirs{run.dir, AppPaths::expandHome(run.settings.androidRepo),
                           AppPaths::expandHome(run.settings.iosRepo)};
    const QString answer = co_await run.runner.run(prompt, draftTools(), dirs, run.dir, false,
                                                   progressSink(run, Stage::draft), {}, run.cancel);
    const QFuture<std::pair<Plan, QStringList>> decoding = PoolThread::run(decode, answer);
    auto [plan, problems] = co_await decoding;
    run.cancel.throwIfCancelled();
    finish(run, Stage::draft,
           QStringLiteral("화면 %1개 · 이동 %2개 · 문구 %3개")
               .arg(plan.screens.size())
               .arg(plan.transitions.size())
               .arg(plan.strings.size()));

    begin(run, Stage::check, QStringLiteral("plan.json 검사"), 0);
    if (problems.isEmpty()) {
        finish(run, Stage::check, QStringLiteral("문제 없음"));
        const QFuture<bool> written = writeAnswer(run.at, answer);
        co_await written;
        co_return plan;
    }

    add(run, QStringLiteral("검사에서 %1건 — 고쳐 달라고 한 번 더 물어요").arg(problems.size()));
    for (const QString &problem : problems.mid(0, loggedProblems))
        add(run, QStringLiteral("  · ") + problem);
    update(run, Stage::check, [count = problems.size()](StageState &state) {
        state.detail = QStringLiteral("문제 %1건 → Claude 에게 고쳐 달라고 하는 중").arg(count);
    });

    const QString fixAnswer = co_await run.runner.run(fixPrompt(problems), draftTools(), dirs, run.dir, true,
                                                      progressSink(run, Stage::check), {}, run.cancel);
    const QFuture<std::pair<Plan, QStringList>> fixDecoding = PoolThread::run(decode, fixAnswer);
    auto [fixed, remaining] = co_await fixDecoding;
    run.cancel.throwIfCancelled();
    if (fixed.screens.isEmpty())
        throw ClaudeFailure{QStringLiteral("초안을 읽지 못했어요: ") + remaining.join(QStringLiteral(", "))};
    for (const QString &line : leftProblems(remaining))
        add(run, line);
    finish(run, Stage::check,
           remaining.isEmpty() ? QStringLiteral("문제 없음")
                               : QStringLiteral("남은 문제 %1건 — 편집 화면에서 고쳐 주세요").arg(remaining.size()));
    const QFuture<bool> written = writeAnswer(run.at, fixAnswer);
    co_await written;
    co_return fixed;
}
