#pragma once

#include "core/jsoncoding.h"
#include "model/plan.h"

#include <QByteArray>
#include <QString>

// Large plans for benchmarks. Deterministic: the same shape always gives the
// same plan text, so timings of different runs compare. Every record type is
// filled, with Korean texts, and a few broken references on purpose so that
// the checks have messages to build.
namespace PlanGen {

struct Shape {
    int screens = 100;
    int transitionsPerScreen = 3;
    int argsPerScreen = 2;
    int actionsPerScreen = 3;
    int stringsPerScreen = 4;
    int screensPerModel = 2;
    int screensPerApi = 5;
    int screensPerDecision = 10;
    // Every n-th screen refers to a missing model and a missing screen; 0 for none.
    int brokenEvery = 50;
    bool platformMap = true;
};

namespace detail {

inline QString screenKey(int i)
{
    return QStringLiteral("screen") + QString::number(i);
}

inline QString modelName(int m)
{
    return QStringLiteral("BenchModel") + QString::number(m);
}

inline bool broken(const Shape &shape, int i)
{
    return shape.brokenEvery > 0 && i % shape.brokenEvery == shape.brokenEvery - 1;
}

inline Screen screen(const Shape &shape, int i)
{
    Screen s;
    s.key = screenKey(i);
    s.name = QStringLiteral("BenchScreen") + QString::number(i);
    s.title = QStringLiteral("화면 %1 목록과 상세").arg(i);
    s.figmaNodes = {QStringLiteral("%1:1").arg(i), QStringLiteral("%1:2").arg(i)};
    if (i % 2 == 0)
        s.figmaLabel = QStringLiteral("TO-BE");
    s.image.before = QStringLiteral("img/node-%1-1.png").arg(i);
    s.kind = i % 10 == 9 ? QStringLiteral("sheet") : QStringLiteral("screen");
    if (i % 3 == 0)
        s.condition = Sourced{QUuid::createUuid(), QStringLiteral("로그인한 사용자에게만"), QStringLiteral("spec")};
    for (int a = 0; a < shape.argsPerScreen; ++a) {
        const bool model = a == 0;
        const QString type = broken(shape, i) && model ? QStringLiteral("BenchMissing") + QString::number(i)
                             : model                   ? modelName(i / shape.screensPerModel)
                                                       : QStringLiteral("String");
        s.args.append(Arg{QUuid::createUuid(), QStringLiteral("arg%1").arg(a), type});
    }
    s.serverData = {QStringLiteral("api%1").arg(i / shape.screensPerApi)};
    for (int a = 0; a < shape.actionsPerScreen; ++a)
        s.actions.append(UserAction{QUuid::createUuid(), QStringLiteral("clickItem%1").arg(a),
                                    QStringLiteral("항목 %1 누르기").arg(a), QStringLiteral("figma")});
    s.rules = {Sourced{QUuid::createUuid(), QStringLiteral("최신순으로 정렬"), QStringLiteral("inferred")}};
    s.platformNotes = {QStringLiteral("LazyColumn"), QStringLiteral("List")};
    s.inferredFields = {QStringLiteral("args")};
    return s;
}

inline QList<Transition> transitions(const Shape &shape, int i)
{
    QList<Transition> out;
    for (int j = 0; j < shape.transitionsPerScreen; ++j) {
        Transition t;
        t.from = screenKey(i);
        t.to = screenKey((i + 1 + j * j * 7) % shape.screens);
        t.trigger = QStringLiteral("clickItem%1").arg(j % qMax(1, shape.actionsPerScreen));
        t.passes = {QStringLiteral("arg0")};
        if (j == 2) {
            t.kind = QStringLiteral("pop");
            t.popUpTo = screenKey(0);
        }
        if (j == 1 && i % 4 == 0)
            t.from = QStringLiteral("@dashboard");
        if (j == 0 && broken(shape, i))
            t.to = QStringLiteral("missing") + QString::number(i);
        out.append(t);
    }
    return out;
}

inline DataModel model(const Shape &shape, int m)
{
    DataModel d;
    d.name = modelName(m);
    for (int f = 0; f < 4; ++f)
        d.fields.append(Field{QUuid::createUuid(), QStringLiteral("field%1").arg(f),
                              f == 0 ? QStringLiteral("String") : QStringLiteral("Int?"),
                              screenKey(m * shape.screensPerModel), QStringLiteral("api")});
    d.apiAligned = m % 2 == 0;
    if (m % 5 == 0)
        d.sharedIn = {screenKey(m * shape.screensPerModel)};
    return d;
}

inline Api api(const Shape &shape, int k)
{
    Api a;
    a.key = QStringLiteral("api%1").arg(k);
    a.purpose = QStringLiteral("목록 %1 조회").arg(k);
    for (int i = k * shape.screensPerApi; i < qMin(shape.screens, (k + 1) * shape.screensPerApi); ++i)
        a.usedBy.append(screenKey(i));
    a.request = QStringLiteral("GET /v1/bench/%1?page").arg(k);
    a.response = QStringLiteral("items[]");
    a.status = k % 2 ? QStringLiteral("exists") : QStringLiteral("needed");
    a.method = QStringLiteral("GET");
    a.path = QStringLiteral("/v1/bench/%1").arg(k);
    a.requestFields = {{QStringLiteral("page"), QStringLiteral("Int"), false, QStringLiteral("페이지"),
                        QStringLiteral("query")}};
    for (int f = 0; f < 3; ++f)
        a.responseFields.append({QStringLiteral("items[].f%1").arg(f), QStringLiteral("String"), true,
                                 QStringLiteral("필드"), QString()});
    a.responseModel = modelName(k);
    a.source = QStringLiteral("api");
    return a;
}

inline StringKey text(int i, int j)
{
    StringKey s;
    s.key = QStringLiteral("ac_bench_%1_%2").arg(i).arg(j);
    s.ko = QStringLiteral("화면 %1 의 문구 %2 입니다").arg(i).arg(j);
    s.screen = screenKey(i);
    s.source = QStringLiteral("figma");
    s.node = QStringLiteral("%1:%2").arg(i).arg(10 + j);
    s.frame = QStringLiteral("%1:1").arg(i);
    s.box = StringKey::Box{0.1 + j * 0.05, 0.2, 0.5, 0.0625};
    return s;
}

inline Decision decision(const Shape &shape, int k)
{
    Decision d;
    d.key = QStringLiteral("D%1").arg(k + 1);
    d.question = QStringLiteral("목록이 비었을 때 무엇을 보여줄까요? (%1)").arg(k);
    d.context = QStringLiteral("디자인에 빈 화면이 없어요");
    d.screens = {screenKey(k * shape.screensPerDecision)};
    d.options = {QStringLiteral("빈 화면"), QStringLiteral("숨기기")};
    d.proposal = QStringLiteral("빈 화면");
    if (k % 2) {
        d.status = QStringLiteral("decided");
        d.result = QStringLiteral("빈 화면");
        d.decidedBy = QStringLiteral("벤치");
        d.decidedAt = QStringLiteral("2026-01-01T00:00:00Z");
    }
    return d;
}

inline PlatformFiles files(int i)
{
    const QString name = QStringLiteral("BenchScreen") + QString::number(i);
    return PlatformFiles{
        FileSet{QStringLiteral("presentation/bench/src/main/java/bench/") + screenKey(i),
                {name + QStringLiteral("Screen.kt"), name + QStringLiteral("ViewModel.kt")},
                {QStringLiteral("navController.navigate(BenchRoute.Next)")}},
        FileSet{QStringLiteral("Features/Bench/Page/Feed/") + name, {name + QStringLiteral("View.swift")}, {}},
    };
}

} // namespace detail

inline Plan make(const Shape &shape)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Bench");
    plan.meta.title = QStringLiteral("벤치마크 계획");
    plan.meta.summary = QStringLiteral("성능을 재기 위한 큰 계획이에요.");
    plan.meta.module = {QStringLiteral("bench"), QStringLiteral("bench"), QStringLiteral("Bench"), QStringLiteral("Feed")};
    plan.meta.figma = {QStringLiteral("Bench0"), QStringLiteral("1:1"), QStringLiteral("https://www.figma.com/design/Bench0")};
    plan.meta.createdBy = QStringLiteral("벤치");
    plan.meta.createdAt = QStringLiteral("2026-01-01T00:00:00Z");
    plan.meta.generator = {{QStringLiteral("app"), QStringLiteral("quarrystone dev")}};
    plan.naming.rules = {QStringLiteral("화면 이름은 Bench 로 시작")};
    for (int i = 0; i < shape.screens; ++i) {
        plan.screens.append(detail::screen(shape, i));
        plan.transitions.append(detail::transitions(shape, i));
        for (int j = 0; j < shape.stringsPerScreen; ++j)
            plan.strings.append(detail::text(i, j));
        if (shape.platformMap)
            plan.naming.platformMap.insert(detail::screenKey(i), detail::files(i));
    }
    for (int m = 0; m * shape.screensPerModel < shape.screens; ++m)
        plan.models.append(detail::model(shape, m));
    for (int k = 0; k * shape.screensPerApi < shape.screens; ++k)
        plan.apis.append(detail::api(shape, k));
    for (int k = 0; k * shape.screensPerDecision < shape.screens; ++k)
        plan.decisions.append(detail::decision(shape, k));
    return plan;
}

// The plan as plan.json holds it.
inline QByteArray json(const Shape &shape)
{
    return JSONCoding::pretty(make(shape));
}

} // namespace PlanGen
