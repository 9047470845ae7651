#include "browser/viewharness.h"
#include "model/developer.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "support/richplan.h"
#include "support/testrepo.h"
#include "ui/library.h"
#include "views/decisionbridge.h"
#include "views/developsheet.h"
#include "views/paneldesktop.h"
#include "app/contentview.h"
#include "app/mainwindow.h"
#include "views/planeditorview.h"
#include "views/planprofile.h"
#include "views/revisedrafts.h"
#include "views/revisepanel.h"
#include "views/webzoom.h"

#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QStackedWidget>
#include <QWebEngineHistory>

using namespace Qt::StringLiterals;
using namespace ViewHarness;

namespace {

class CountingDesktop : public PanelDesktop
{
public:
    int beeps = 0;
    void beep() override { ++beeps; }
    void chooseImages(QWidget *, const QString &, Chosen) override {}
};

Plan openPlan()
{
    Plan plan = RichPlan::make();
    plan.decisions[0].options = {u"예"_s, u"아니오"_s};
    return plan;
}

QString option(const QString &text)
{
    return u".dpick[data-id=\"D1\"] > .opt[data-o=\"%1\"]"_s.arg(text);
}

// The sheet deletes itself once closed; outside the main loop, deferred
// deletions wait for this.
bool closed(PlanEditorView *editor)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !editor->developSheet();
}

class PlanEditorTest : public Library
{
protected:
    void SetUp() override
    {
        Rig::shared();
        Library::SetUp();
        qunsetenv("QUARRYSTONE_DEVELOP");
        desktop = std::make_shared<CountingDesktop>();
        PanelDesktop::replace(desktop);
        state = std::make_unique<AppState>();
        AppSettings settings = state->settings();
        settings.claudePath = FakeClaude::path();
        state->setSettings(settings);
        dir = output + u"/clip-plan"_s;
        Plan plan = openPlan();
        Exporter::writeAll(plan, dir, Conventions::builtIn());
        state->open(dir, false);
        awaitFiles(*state);
        ASSERT_TRUE(state->planDir());
    }

    void TearDown() override
    {
        delete editor;
        if (Reviser::shared().phase().isRunning()) {
            Reviser::shared().cancel();
            spinUntil([] { return !Reviser::shared().phase().isRunning(); }, 20000);
        }
        Generator::shared().setPhase(Generator::Phase::idle());
        PanelDesktop::replace(nullptr);
        ReviseDrafts::clear(dir);
        qunsetenv("QUARRYSTONE_DEVELOP");
    }

    // The editor in its own window, its page loaded.
    void makeEditor()
    {
        editor = new PlanEditorView(state.get());
        Rig::shared().prepare(*editor->webView());
        ASSERT_TRUE(loaded(*editor->webView(), [&] { Rig::show(*editor, QSize(1400, 900)); }));
    }

    QString request() { return editor->revisePanel()->findChild<QPlainTextEdit *>(u"request"_s)->toPlainText(); }
    QPushButton *panelButton(const QString &name) { return editor->revisePanel()->findChild<QPushButton *>(name); }

    // Clicks on the page and waits for the request to read `expected`.
    bool makes(const QString &selector, const QString &expected)
    {
        click(*editor->webView(), selector);
        const bool done = spinUntil([&] { return request() == expected; }, 5000);
        EXPECT_EQ(request(), expected);
        return done;
    }

    std::shared_ptr<CountingDesktop> desktop;
    std::unique_ptr<AppState> state;
    FakeClaude fake;
    QString dir;
    PlanEditorView *editor = nullptr;
};

TEST_F(PlanEditorTest, PicksBecomeRequestLinesAndARevisionSettlesThem)
{
    makeEditor();
    PlanWebView &web = *editor->webView();
    EXPECT_EQ(web.url(), QUrl::fromLocalFile(dir + u"/index.html"_s));
    // The page gives way to the panel in a small window, down to this:
    // with the sidebar and the panel it fits a screen 800 points wide.
    EXPECT_GE(web.minimumWidth(), 240);
    // A site the person follows on the page opens through the window's
    // desktop; when nothing can open it, a toast says so.
    auto opener = std::make_shared<TestDesktop>();
    opener->opens = false;
    state->setDesktop(opener);
    Q_EMIT web.addressFollowed(QUrl(u"https://example.com/x"_s));
    EXPECT_EQ(opener->opened, QList<QUrl>{QUrl(u"https://example.com/x"_s)});
    EXPECT_EQ(state->message(), u"주소를 열 프로그램을 찾지 못했어요: https://example.com/x"_s);

    // A pick, the same pick again, then a two-line answer of one's own.
    ASSERT_TRUE(makes(option(u"예"_s), DecisionBridge::choiceLine(u"D1"_s, u"예"_s)));
    ASSERT_TRUE(makes(option(u"예"_s), QString()));
    click(web, u".dpick[data-id=\"D1\"] > .etc"_s);
    eval(web, u"document.querySelector('.dpick[data-id=\"D1\"] textarea').value = '첫 줄\\n둘째 줄'"_s);
    ASSERT_TRUE(makes(u".dpick[data-id=\"D1\"] .etcbox .go"_s, DecisionBridge::textLine(u"D1"_s, u"첫 줄 둘째 줄"_s)));

    // While Claude works, a pick only beeps.
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    panelButton(u"revise"_s)->click();
    ASSERT_TRUE(Reviser::shared().phase().isRunning());
    click(web, option(u"아니오"_s));
    ASSERT_TRUE(spinUntil([&] { return desktop->beeps == 1; }, 5000));
    EXPECT_EQ(request(), DecisionBridge::textLine(u"D1"_s, u"첫 줄 둘째 줄"_s));
    EXPECT_FALSE(editor->findChild<QPushButton *>(u"developButton"_s)->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return !fake.records(u"start"_s).isEmpty(); }, 10000));
    // Stopping fails the revision, and the editor reloads the page once.
    ASSERT_TRUE(loaded(web, [&] { panelButton(u"stop"_s)->click(); }));
    EXPECT_EQ(editor->reloadToken(), 1);

    // Claude reads the line from its standard input and settles D1.
    Plan settled = openPlan();
    settled.decisions[0].status = u"decided"_s;
    settled.decisions[0].result = u"예"_s;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"},
                                                       {"content", QString::fromUtf8(QJsonDocument(settled.toJson()).toJson())}},
                                           FakeClaude::resultEvent(u"D1 을 정했어요"_s)}}});
    // The reloaded page forgot its picks; the request did not.
    ASSERT_TRUE(makes(option(u"예"_s), DecisionBridge::choiceLine(u"D1"_s, u"예"_s)));
    EXPECT_EQ(state->plan().openDecisions().size(), 1);
    ASSERT_TRUE(loaded(web, [&] { panelButton(u"revise"_s)->click(); }, 30000));
    EXPECT_EQ(Reviser::shared().phase(), Reviser::Phase::done(u"D1 을 정했어요"_s));
    const QList<QJsonObject> starts = fake.records(u"start"_s);
    ASSERT_EQ(starts.size(), 2);
    EXPECT_TRUE(starts.last().value(u"stdin"_s).toString().contains(DecisionBridge::choiceLine(u"D1"_s, u"예"_s)));
    EXPECT_EQ(editor->reloadToken(), 2);
    EXPECT_EQ(request(), QString());
    EXPECT_EQ(eval(web, u"document.querySelectorAll('.dpick[data-id=\"D1\"]').length"_s).toInt(), 0);
    EXPECT_TRUE(state->plan().openDecisions().isEmpty());
    QPushButton *develop = editor->findChild<QPushButton *>(u"developButton"_s);
    EXPECT_TRUE(develop->isEnabled());
    EXPECT_EQ(develop->toolTip(), u"이 계획서로 Android·iOS 코드를 쓰기 시작해요"_s);
}

TEST_F(PlanEditorTest, ARunningDevelopmentAndAReplacedEditorLeaveTheButtonPageZoomAndDecisions)
{
    const QString repo = root.filePath(u"android"_s);
    QDir().mkpath(repo);
    TestRepo::sh(repo, {u"init"_s, u"-q"_s, u"-b"_s, u"main"_s});
    TestRepo::sh(repo, {u"commit"_s, u"-q"_s, u"--allow-empty"_s, u"-m"_s, u"start"_s});
    AppSettings settings = state->settings();
    settings.androidRepo = repo;
    state->setSettings(settings);
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    makeEditor();
    auto *develop = editor->findChild<QPushButton *>(u"developButton"_s);
    ASSERT_FALSE(develop->isEnabled());

    // A running development keeps the button on despite open decisions.
    Developer::shared().start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, u"main"_s}},
                              u"feat/clip"_s, dir, state->settings());
    ASSERT_TRUE(spinUntil([] { return Developer::shared().isRunning(); }, 10000));
    Generator::shared().setPhase(Generator::Phase::running(u"검사"_s));
    EXPECT_EQ(develop->text(), u"개발 중…"_s);
    EXPECT_EQ(develop->property("symbol").toString(), u"hourglass"_s);
    EXPECT_TRUE(develop->isEnabled());
    EXPECT_EQ(develop->toolTip(), u"결정 필요가 1건 남아 있어요. 모두 정하면 켜져요."_s);
    Generator::shared().setPhase(Generator::Phase::idle());
    Developer::shared().cancel();
    ASSERT_TRUE(spinUntil([] { return !Developer::shared().isRunning(); }, 20000));
    EXPECT_EQ(develop->text(), u"개발하기"_s);
    EXPECT_FALSE(develop->isEnabled());

    // As the window replaces its detail: the old one hidden, the new one
    // built and shown, the old one deleted on the next turn of the loop.
    QPointer<PlanEditorView> old = editor;
    old->hide();
    makeEditor();
    old->deleteLater();
    ASSERT_TRUE(spinUntil([&] { return old.isNull(); }, 5000));

    PlanWebView &web = *editor->webView();
    EXPECT_EQ(WebZoom::shared()->view(), &web);
    WebZoom::shared()->set(1.3);
    EXPECT_DOUBLE_EQ(web.page()->zoomFactor(), 1.3);
    WebZoom::shared()->set(1.0);
    ASSERT_TRUE(makes(option(u"아니오"_s), DecisionBridge::choiceLine(u"D1"_s, u"아니오"_s)));
    // The page still loads and posts from the profile the old one shared.
    ASSERT_TRUE(loaded(web, [&] { editor->reload(); }));
    EXPECT_TRUE(makes(option(u"예"_s), DecisionBridge::choiceLine(u"D1"_s, u"예"_s)));
}

TEST_F(PlanEditorTest, HeaderFollowsThePlanTheGeneratorAndTheReviserAndTheSheetOpensOnlyForExactlyOne)
{
    for (const char *value : {"true", "01", ""}) {
        qputenv("QUARRYSTONE_DEVELOP", value);
        editor = new PlanEditorView(state.get());
        QSignalSpy asked(editor, &PlanEditorView::developRequested);
        Rig::show(*editor);
        EXPECT_EQ(asked.size(), 0) << value;
        EXPECT_EQ(editor->developSheet(), nullptr);
        delete editor;
        editor = nullptr;
    }
    qputenv("QUARRYSTONE_DEVELOP", "1");
    makeEditor();
    DevelopSheet *sheet = editor->developSheet();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    sheet->reject();
    ASSERT_TRUE(closed(editor));

    auto *title = editor->findChild<QLabel *>(u"planTitle"_s);
    auto *path = editor->findChild<QLabel *>(u"planPath"_s);
    auto *develop = editor->findChild<QPushButton *>(u"developButton"_s);
    auto *content = editor->findChild<QStackedWidget *>(u"editorContent"_s);
    ASSERT_TRUE(title && path && develop && content);
    EXPECT_EQ(title->text(), state->plan().meta.title);
    EXPECT_TRUE(path->toolTip().contains(state->planDir()->toHtmlEscaped()));
    EXPECT_EQ(path->textFormat(), Qt::PlainText);
    EXPECT_TRUE(path->text() == *state->planDir() || path->text().contains(u"…"_s)) << path->text().toStdString();
    EXPECT_EQ(editor->findChild<QPushButton *>(u"exportButton"_s)->toolTip(),
              u"공유용 HTML 한 파일로 저장해요(그림·계획서 데이터 포함)"_s);
    EXPECT_EQ(editor->findChild<QPushButton *>(u"browserButton"_s)->text(), u"브라우저로 열기"_s);
    EXPECT_EQ(develop->text(), u"개발하기"_s);
    EXPECT_EQ(develop->property("symbol").toString(), u"hammer.fill"_s);
    EXPECT_FALSE(develop->isEnabled());
    EXPECT_EQ(develop->toolTip(), u"결정 필요가 1건 남아 있어요. 모두 정하면 켜져요."_s);
    EXPECT_EQ(PlanEditorView::developHelp(12), u"결정 필요가 12건 남아 있어요. 모두 정하면 켜져요."_s);
    auto *split = editor->findChild<QSplitter *>(u"editorSplit"_s);
    ASSERT_TRUE(split);
    EXPECT_EQ(content->currentWidget(), split);
    EXPECT_GE(editor->revisePanel()->width(), 300);
    EXPECT_LE(editor->revisePanel()->width(), 460);

    // An empty title shows the feature.
    Plan plan = openPlan();
    plan.meta.title.clear();
    plan.decisions[0].status = u"decided"_s;
    Exporter::writeAll(plan, dir, Conventions::builtIn());
    ASSERT_TRUE(loaded(*editor->webView(), [&] { editor->reload(); }));
    EXPECT_EQ(title->text(), plan.meta.feature);
    EXPECT_TRUE(develop->isEnabled());
    EXPECT_EQ(develop->toolTip(), u"이 계획서로 Android·iOS 코드를 쓰기 시작해요"_s);
    develop->click();
    ASSERT_TRUE(editor->developSheet());
    editor->developSheet()->reject();
    ASSERT_TRUE(closed(editor));

    // A generation elsewhere disables the button and keeps the page.
    Generator::shared().setPhase(Generator::Phase::running(u"검사"_s));
    EXPECT_FALSE(develop->isEnabled());
    EXPECT_EQ(content->currentWidget(), split);
    Generator::shared().setPhase(Generator::Phase::idle());
    EXPECT_TRUE(develop->isEnabled());

    // A generation writing this very folder shows its run log; the header stays.
    GenerateInput input;
    input.feature = plan.meta.feature;
    Generator::shared().run(input, dir, state->settings(), false, {});
    Generator::shared().setPhase(Generator::Phase::running(u"검사"_s));
    ASSERT_EQ(Generator::shared().runningDir(), dir);
    EXPECT_EQ(content->currentWidget()->objectName(), u"runLog"_s);
    EXPECT_TRUE(title->isVisible());
    Generator::shared().cancel();
    Generator::shared().setPhase(Generator::Phase::idle());
    EXPECT_EQ(content->currentWidget(), split);

    // Two changes before the next update reload the page once.
    QSignalSpy loads(editor->webView()->page(), &QWebEnginePage::loadStarted);
    const int token = editor->reloadToken();
    editor->reload();
    editor->reload();
    EXPECT_EQ(editor->reloadToken(), token + 2);
    pause(1000);
    EXPECT_EQ(loads.size(), 1);

    // Every show asks for the sheet again; asked while open, still the one sheet.
    QSignalSpy asked(editor, &PlanEditorView::developRequested);
    editor->hide();
    editor->show();
    EXPECT_EQ(asked.size(), 1);
    ASSERT_TRUE(editor->developSheet());
    editor->hide();
    editor->show();
    EXPECT_EQ(editor->findChildren<DevelopSheet *>().size(), 1);
    editor->developSheet()->reject();
    ASSERT_TRUE(closed(editor));

    // A folder whose plan cannot be read: no folder to develop, so the
    // button is off rather than doing nothing.
    qunsetenv("QUARRYSTONE_DEVELOP");
    ASSERT_TRUE(QFile::remove(dir + u"/plan.json"_s));
    editor->reload();
    awaitFiles(*state);
    EXPECT_FALSE(state->planDir());
    EXPECT_EQ(develop->text(), u"개발하기"_s);
    EXPECT_FALSE(develop->isEnabled());
    EXPECT_EQ(editor->developSheet(), nullptr);
}

// The window keeps one page view for every plan it shows; whatever the view
// still holds of the last plan must not show or speak for the next one.
TEST_F(PlanEditorTest, AWindowShowsEachPlanInTheOneViewItKeepsAndNothingOfTheLast)
{
    struct Shown {
        QString dir;
        QString title;
        QString screen;
    };
    QList<Shown> plans;
    for (const auto &[name, title, screen] : {std::tuple(u"alpha"_s, u"알파 계획"_s, u"알파 첫 화면"_s),
                                               std::tuple(u"beta"_s, u"베타 계획"_s, u"베타 첫 화면"_s)}) {
        Plan plan = openPlan();
        plan.meta.title = title;
        plan.screens[0].title = screen;
        const QString planDir = output + u'/' + name;
        Exporter::writeAll(plan, planDir, Conventions::builtIn());
        plans.append({planDir, title, screen});
    }
    // The view is made with the window's first plan; the loopback rule is
    // on the profile before that.
    Rig::shared().prepare(*PlanProfile::hold());
    state->setSelection(std::nullopt);
    auto window = std::make_unique<MainWindow>(state.get());
    Rig::show(*window, QSize(1400, 900));

    // The window makes its view while the person looks at the library,
    // before any plan is picked; the first plan shows in it.
    awaitFiles(*state);
    QPointer<PlanWebView> kept;
    ASSERT_TRUE(spinUntil([&] { return (kept = window->findChild<PlanWebView *>()); }, 20000));
    EXPECT_FALSE(kept->isVisible());
    double magnification = 2.0;
    for (int index : {0, 1, 0}) {
        const Shown &plan = plans[index];
        const Shown &other = plans[1 - index];
        SCOPED_TRACE(plan.title.toStdString());
        QSignalSpy built(window->content(), &ContentView::detailBuilt);
        state->setSelection(Selection::plan(plan.dir));
        awaitFiles(*state);
        const QString page = QDir::cleanPath(plan.dir + u"/index.html"_s);
        // The editor the window built for this plan, not the one it replaced.
        ASSERT_TRUE(spinUntil([&] { return built.size() == 1; }, 20000));
        QPointer<PlanEditorView> shown = qobject_cast<PlanEditorView *>(window->content()->detail());
        ASSERT_TRUE(shown && shown->webView());
        PlanWebView &web = *shown->webView();
        EXPECT_EQ(web.file(), page);
        EXPECT_EQ(&web, kept.data());
        EXPECT_EQ(WebZoom::shared()->view(), &web);
        const QString url = QUrl::fromLocalFile(page).toString(QUrl::FullyEncoded);
        ASSERT_TRUE(waitFor(web, u"location.href === %1 && document.readyState === 'complete'"_s.arg(js(url)), 30000));
        const QString text = eval(web, u"document.body.innerText"_s).toString();
        EXPECT_TRUE(text.contains(plan.title));
        EXPECT_TRUE(text.contains(plan.screen));
        EXPECT_FALSE(text.contains(other.title));
        EXPECT_FALSE(text.contains(other.screen));
        // As a view of its own would: the last plan's magnification and
        // page are gone, and the header names this plan.
        EXPECT_DOUBLE_EQ(web.magnification(), 1.0);
        EXPECT_FALSE(web.page()->history()->canGoBack());
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->findChild<QLabel *>(u"planTitle"_s)->text(), plan.title);
        web.setMagnification(magnification);

        // A pick on the page goes to this plan's request, never the other's.
        const QString before = ReviseDrafts::of(other.dir).request;
        const QString choice = index == 0 ? u"예"_s : u"아니오"_s;
        click(web, option(choice));
        ASSERT_TRUE(spinUntil([&] { return ReviseDrafts::of(plan.dir).request.contains(choice); }, 5000));
        EXPECT_EQ(ReviseDrafts::of(plan.dir).request, DecisionBridge::choiceLine(u"D1"_s, choice));
        EXPECT_EQ(ReviseDrafts::of(other.dir).request, before);
        ReviseDrafts::clear(plan.dir);
    }
    window.reset();
    PlanProfile::release();
    for (const Shown &plan : plans)
        ReviseDrafts::clear(plan.dir);
}

} // namespace

// A plan folder that lost its index.html says so in Korean, in place of the
// engine's English, and draws the page again from plan.json on request.
TEST_F(PlanEditorTest, AFolderWithoutItsPageSaysSoAndDrawsItAgain)
{
    ASSERT_TRUE(QFile::remove(dir + u"/index.html"_s));
    editor = new PlanEditorView(state.get());
    Rig::shared().prepare(*editor->webView());
    Rig::show(*editor, QSize(1400, 900));
    auto *note = editor->webView()->findChild<QWidget *>(u"missingPage"_s);
    ASSERT_TRUE(note);
    ASSERT_TRUE(spinUntil([&] { return note->isVisible(); }, 20000));
    auto *text = note->findChild<QLabel *>();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text(), u"이 계획서 폴더에 index.html 이 없어요. plan.json 으로 다시 그릴 수 있어요."_s);
    note->findChild<QPushButton *>(u"renderPage"_s)->click();
    EXPECT_TRUE(spinUntil([&] { return state->message() == u"index.html 을 다시 그렸어요"_s; }, 20000))
        << state->message().value_or(QString()).toStdString();
    EXPECT_TRUE(QFileInfo::exists(dir + u"/index.html"_s));
    EXPECT_TRUE(spinUntil([&] { return !note->isVisible() && editor->webView()->title().contains(state->plan().meta.title); }, 20000))
        << editor->webView()->title().toStdString();
}
