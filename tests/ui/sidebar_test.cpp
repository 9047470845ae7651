#include "library.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "views/renamesheet.h"
#include "views/sidebar.h"
#include "views/sidebarmodel.h"

#include <QAbstractButton>
#include <QAction>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using Kind = SidebarModel::Kind;

namespace {

QByteArray request(const QString &title, const QString &feature)
{
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/AbC123/Harbor?node-id=1-2");
    input.feature = feature;
    input.title = title;
    input.apiDocs = QStringList();
    input.specDocs = QStringList();
    return QJsonDocument(input.toJson()).toJson();
}

QStringList actions(QMenu *menu)
{
    QStringList texts;
    if (!menu)
        return texts;
    for (QAction *action : menu->actions())
        texts.append(action->isSeparator() ? "—" : action->text());
    return texts;
}

QAction *action(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

class SidebarTest : public Library
{
protected:
    void TearDown() override
    {
        if (generator.phase().isRunning())
            generator.cancel();
        // No child of a run outlives the test.
        EXPECT_TRUE(QTest::qWaitFor([this] { return claude.records("sigterm").size() >= started; }, 60000));
        AppStateHolder::setState(nullptr);
        Library::TearDown();
    }

    void build(Generator &over)
    {
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        AppStateHolder::setState(state.get());
        sidebar = new Sidebar(state.get(), over, nullptr, &window);
        window.resize(300, 700);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    // Each row as "kind|title|second line|badge".
    QStringList rows() const { return rowsOf(sidebar->model()); }

    static QStringList rowsOf(SidebarModel *model)
    {
        QStringList out;
        for (int i = 0; i < model->rowCount(); ++i) {
            const QModelIndex index = model->index(i);
            out.append(QString("%1|%2|%3|%4")
                           .arg(QMetaEnum::fromType<Kind>().valueToKey(int(model->row(i).kind)))
                           .arg(index.data().toString())
                           .arg(index.data(SidebarModel::SubtitleRole).toString())
                           .arg(index.data(SidebarModel::BadgeRole).toString()));
        }
        return out;
    }

    int rowOf(Kind kind, const QString &title = {}) const
    {
        SidebarModel *model = sidebar->model();
        for (int i = 0; i < model->rowCount(); ++i)
            if (model->row(i).kind == kind && (title.isEmpty() || model->row(i).title == title))
                return i;
        return -1;
    }

    QList<QPushButton *> resumeButtons() const
    {
        return sidebar->list()->viewport()->findChildren<QPushButton *>("resumeButton");
    }

    // Runs of the stand-in tool wait until they are stopped.
    void awaitStop()
    {
        claude.setScenario(QJsonObject{{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    }

    FakeClaude claude;
    int started = 0;
    Generator generator;
    QWidget window;
    std::unique_ptr<AppState> state;
    Sidebar *sidebar = nullptr;
};

} // namespace

TEST_F(SidebarTest, EmptyLibraryShowsTheNewRowTheHeaderAndAPlaceholder)
{
    build(generator);
    EXPECT_EQ(rows(), QStringList({"newPlan|새 계획서||", "header|계획서||", "empty|아직 없어요||"}));
    EXPECT_EQ(sidebar->model()->index(0).data(SidebarModel::SymbolRole), "plus.square");
    EXPECT_EQ(sidebar->model()->index(2).data(SidebarModel::ToneRole), "secondary");
    // Only tagged rows are selectable.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bool(sidebar->model()->flags(sidebar->model()->index(i)) & Qt::ItemIsSelectable), i == 0) << i;
    EXPECT_EQ(sidebar->list()->currentIndex().row(), 0);

    // The bottom bar: the settings link runs the window's settings command,
    // the refresh button rescans the library.
    auto *settings = new QAction(&window);
    settings->setObjectName("settings");
    int opened = 0;
    QObject::connect(settings, &QAction::triggered, [&opened] { ++opened; });
    auto *link = sidebar->findChild<QAbstractButton *>("settingsLink");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->text(), "설정");
    EXPECT_EQ(link->property("symbol"), "gearshape");
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened, 1);
    makePlan(output + "/Late-plan", "늦게", "Late");
    auto *refresh = sidebar->findChild<QAbstractButton *>("refreshButton");
    EXPECT_EQ(refresh->toolTip(), "목록 새로고침");
    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::plan, "늦게") >= 0; }));

    makePlan(output + "/Broken-plan", "첫 줄\n둘째 줄", "Line", 20);
    makePlan(output + "/Spaced-plan", "첫 줄 둘째 줄", "Line", 10);
    state->refresh();
    awaitFiles(*state);
    ASSERT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::plan, "첫 줄 둘째 줄") >= 0; }));
    // A title with a line break is drawn exactly as the same title with a
    // space: one line, never two lines over the second one.
    const auto drawn = [this](const QString &title) {
        QListView *list = sidebar->list();
        const QModelIndex index = sidebar->model()->index(rowOf(Kind::plan, title));
        QStyleOptionViewItem option;
        option.initFrom(list);
        option.rect = QRect(QPoint(0, 0), list->visualRect(index).size());
        option.widget = list;
        QImage image(option.rect.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        list->itemDelegate()->paint(&painter, option, index);
        return image;
    };
    const QImage spaced = drawn("첫 줄 둘째 줄");
    QImage blank(spaced.size(), QImage::Format_ARGB32);
    blank.fill(Qt::white);
    EXPECT_FALSE(spaced == blank) << "the row draws its texts";
    EXPECT_TRUE(drawn("첫 줄\n둘째 줄") == spaced);

    // The generating row shows only while running or after a failure.
    // A generator without a title yet names the row "새 계획서".
    const struct { Generator::Phase phase; QString row; } cases[] = {
        {Generator::Phase::running("검사"), "generating|새 계획서|만드는 중…|"},
        {Generator::Phase::failed("멈췄어요."), "generating|새 계획서|만들지 못했어요|"},
        {Generator::Phase::done(output + "/Done-plan"), ""},
        {Generator::Phase::idle(), ""},
    };
    for (const auto &c : cases) {
        generator.setPhase(c.phase);
        sidebar->rebuildNow();
        const int row = rowOf(Kind::generating);
        EXPECT_EQ(row < 0 ? QString() : rows().at(row), c.row) << c.phase.text.toStdString();
    }

    // A finished run's row goes at once, the library reads its plan a moment
    // later: meanwhile the plan has a row of its own, by the run's title or
    // here, with none, its folder's name, that leads to it; the library is
    // not "empty".
    const QString done = output + "/Done-plan";
    generator.setPhase(Generator::Phase::done(done));
    sidebar->rebuildNow();
    EXPECT_EQ(rows().filter("Done-plan"), QStringList{"plan|Done-plan||"}) << rows().join("\n").toStdString();
    EXPECT_EQ(rowOf(Kind::empty), -1);
    EXPECT_EQ(sidebar->model()->rowOf(Selection::plan(AppState::standardFolder(done))), rowOf(Kind::plan, "Done-plan"));
    makePlan(done, "다 만든", "Done");
    state->refresh();
    awaitFiles(*state);
    sidebar->rebuildNow();
    EXPECT_EQ(rows().filter("다 만든"), QStringList{"plan|다 만든|Done|"});
    EXPECT_EQ(rowOf(Kind::plan, "Done-plan"), -1);
    // Read once, the plan is the library's alone: moved away, it leaves no row.
    QDir(done).removeRecursively();
    state->refresh();
    awaitFiles(*state);
    sidebar->rebuildNow();
    EXPECT_TRUE(rows().filter("다 만든").isEmpty() && rows().filter("Done-plan").isEmpty()) << rows().join("\n").toStdString();
    generator.setPhase(Generator::Phase::idle());
}

TEST_F(SidebarTest, PlansUnfinishedFoldersAndTheirMenus)
{
    makePlan(output + "/Alpha-plan", "Alpha", "Alpha", 30);
    makePlan(output + "/Alpha-plan-2", "Alpha", "Alpha", 20);
    const QString beta = makePlan(output + "/Beta-plan", "<b>베타</b>", "Beta", 10, QStringList(12, "open") + QStringList{"decided"});
    write(output + "/Empty-title/request.json", request("", "Alpha"));
    write(output + "/Broken-request/request.json", "{ nope");
    write(output + "/Titled/request.json", request("항구 클립", "Harbor"));
    build(generator);

    const QStringList listed = rows();
    ASSERT_EQ(listed.size(), 8) << listed.join("\n").toStdString();
    EXPECT_EQ(listed.mid(0, 2), QStringList({"newPlan|새 계획서||", "header|계획서||"}));
    // Unfinished rows in the scan's order (listing order is the file system's).
    QStringList unfinished = listed.mid(2, 3);
    unfinished.sort();
    EXPECT_EQ(unfinished, QStringList({"unfinished|Alpha|만들다 멈췄어요|", "unfinished|Broken-request|만들다 멈췄어요|",
                                       "unfinished|항구 클립|만들다 멈췄어요|"}));
    // Same titles show folder names; others their feature; the badge counts
    // open decisions only.
    EXPECT_EQ(listed.mid(5), QStringList({"plan|Alpha|Alpha-plan|", "plan|Alpha|Alpha-plan-2|",
                                          "plan|<b>베타</b>|Beta|미결정 12"}));
    EXPECT_EQ(resumeButtons().size(), 3);
    for (QPushButton *button : resumeButtons())
        EXPECT_TRUE(button->isEnabled());

    EXPECT_EQ(actions(sidebar->menuFor(rowOf(Kind::plan, "<b>베타</b>"))),
              QStringList({"이름 바꾸기…", "내보내기…", "파일 관리자에서 보기", "브라우저로 열기", "—", "삭제…"}));
    EXPECT_EQ(actions(sidebar->menuFor(rowOf(Kind::unfinished, "Alpha"))),
              QStringList({"파일 관리자에서 보기", "휴지통으로"}));
    EXPECT_EQ(sidebar->menuFor(rowOf(Kind::header)), nullptr);
    EXPECT_EQ(sidebar->menuFor(rowOf(Kind::newPlan)), nullptr);

    // Revealing goes to the desktop with the folder.
    auto desktop = std::make_shared<TestDesktop>();
    state->setDesktop(desktop);
    action(sidebar->menuFor(rowOf(Kind::plan, "<b>베타</b>")), "파일 관리자에서 보기")->trigger();
    EXPECT_EQ(desktop->revealed, QStringList({AppState::standardFolder(beta)}));
    // No page: opening it in the browser does nothing.
    action(sidebar->menuFor(rowOf(Kind::plan, "<b>베타</b>")), "브라우저로 열기")->trigger();
    EXPECT_TRUE(desktop->opened.isEmpty());
    write(beta + "/index.html", "<html></html>");
    action(sidebar->menuFor(rowOf(Kind::plan, "<b>베타</b>")), "브라우저로 열기")->trigger();
    EXPECT_EQ(desktop->opened, QList<QUrl>({QUrl::fromLocalFile(beta + "/index.html")}));

    // An unfinished folder goes to the real Trash without a question, also
    // when the user's data folder does not exist yet.
    ASSERT_FALSE(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME")));
    action(sidebar->menuFor(rowOf(Kind::unfinished, "Broken-request")), "휴지통으로")->trigger();
    // The folder is moved beside the event loop.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(output + "/Broken-request"); }));
    const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + "/Trash";
    EXPECT_TRUE(QFileInfo::exists(trash + "/files/Broken-request/request.json"));
    EXPECT_TRUE(QFileInfo::exists(trash + "/info/Broken-request.trashinfo"));
    EXPECT_FALSE(QFileInfo::exists(QDir::current().filePath("Broken-request")));
    EXPECT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::unfinished, "Broken-request") < 0; }));
    EXPECT_EQ(resumeButtons().size(), 2);
}

TEST_F(SidebarTest, SelectionRenameAndDeleteOfAPlan)
{
    const QString alpha = makePlan(output + "/Alpha-plan", "Alpha", "Alpha");
    build(generator);
    QSignalSpy selections(state.get(), &AppState::selectionChanged);
    QSignalSpy resets(sidebar->model(), &QAbstractItemModel::modelReset);
    state->setSelection(Selection::plan(alpha));
    awaitFiles(*state);
    EXPECT_TRUE(QTest::qWaitFor([this] { return sidebar->list()->currentIndex().row() == rowOf(Kind::plan); }));
    EXPECT_EQ(selections.size(), 1) << "mirroring writes nothing back";
    EXPECT_EQ(resets.size(), 0) << "the rows did not change";

    // Clicking the selected new-plan row still opens a fresh form.
    const QRect newRow = sidebar->list()->visualRect(sidebar->model()->index(0));
    QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, newRow.center());
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_EQ(state->newPlanToken(), 1);
    QTest::qWait(20);
    QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, newRow.center());
    EXPECT_EQ(state->newPlanToken(), 2);

    // A click on a plan row selects it.
    const QRect planRow = sidebar->list()->visualRect(sidebar->model()->index(rowOf(Kind::plan)));
    QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, planRow.center());
    EXPECT_EQ(state->selection(), Selection::plan(AppState::standardFolder(alpha)));
    // Clicks on the header or below the rows select nothing and change
    // nothing: the plan's row stays highlighted.
    const QRect header = sidebar->list()->visualRect(sidebar->model()->index(rowOf(Kind::header)));
    const QPoint below(planRow.center().x(), planRow.bottom() + 40);
    ASSERT_FALSE(sidebar->list()->indexAt(below).isValid());
    for (const QPoint &at : {header.center(), below}) {
        QTest::mouseClick(sidebar->list()->viewport(), Qt::LeftButton, {}, at);
        EXPECT_EQ(state->selection(), Selection::plan(AppState::standardFolder(alpha)));
        const QModelIndexList highlighted = sidebar->list()->selectionModel()->selectedIndexes();
        ASSERT_EQ(highlighted.size(), 1) << at.y();
        EXPECT_EQ(highlighted.first().row(), rowOf(Kind::plan));
    }

    // Shift+F10 and the menu key open the current row's menu beside it.
    sidebar->list()->setCurrentIndex(sidebar->model()->index(rowOf(Kind::plan, "Alpha")));
    sidebar->list()->setFocus();
    for (const QKeyCombination keys : {QKeyCombination(Qt::ShiftModifier, Qt::Key_F10), QKeyCombination(Qt::Key_Menu)}) {
        QTest::keyClick(sidebar->list(), keys.key(), keys.keyboardModifiers());
        QMenu *shown = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            shown = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            return shown && shown->isVisible();
        }, 5000)) << keys.key();
        EXPECT_TRUE(actions(shown).contains("이름 바꾸기…")) << actions(shown).join(", ").toStdString();
        const QRect row = sidebar->list()->visualRect(sidebar->list()->currentIndex());
        EXPECT_LE(std::abs(shown->pos().y() - sidebar->list()->viewport()->mapToGlobal(row.bottomLeft()).y()), 2);
        shown->close();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QApplication::activePopupWidget(); }, 5000));
    }

    // The rename sheet opens over the window for the chosen entry.
    action(sidebar->menuFor(rowOf(Kind::plan, "Alpha")), "이름 바꾸기…")->trigger();
    auto *sheet = window.findChild<RenameSheet *>("renameSheet");
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sheet->findChild<QLineEdit *>("title")->isEnabled(); }));
    EXPECT_EQ(sheet->findChild<QLineEdit *>("folder")->text(), "Alpha-plan");
    EXPECT_EQ(sheet->findChild<QLineEdit *>("title")->text(), "Alpha");
    sheet->reject();

    action(sidebar->menuFor(rowOf(Kind::plan, "Alpha")), "삭제…")->trigger();
    QMessageBox *alert = sidebar->deleteAlert();
    ASSERT_TRUE(alert);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(alert));
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    EXPECT_EQ(alert->text(), "계획서를 삭제할까요?");
    EXPECT_EQ(alert->informativeText(), "“Alpha” (Alpha-plan) 폴더를 휴지통으로 옮겨요. 그림·기록·백업도 같이 "
                                        "옮겨지고, 휴지통에서 되살릴 수 있어요.");
    // The title is data: shown as it stands, never as markup.
    auto *informative = alert->findChild<QLabel *>("qt_msgbox_informativelabel");
    ASSERT_TRUE(informative);
    EXPECT_EQ(informative->textFormat(), Qt::PlainText);
    EXPECT_EQ(alert->textFormat(), Qt::PlainText);
    QStringList buttons;
    for (QAbstractButton *b : alert->buttons())
        buttons.append(b->text());
    buttons.sort();
    EXPECT_EQ(buttons, QStringList({"취소", "휴지통으로 옮기기"}));
    QPointer<QMessageBox> guard(alert);
    for (QAbstractButton *b : alert->buttons())
        if (b->text() == "취소")
            QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }));
    EXPECT_TRUE(QFileInfo::exists(alpha + "/plan.json"));

    action(sidebar->menuFor(rowOf(Kind::plan, "Alpha")), "삭제…")->trigger();
    alert = sidebar->deleteAlert();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(alert));
    for (QAbstractButton *b : alert->buttons())
        if (b->text() == "휴지통으로 옮기기")
            QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(alpha); }));
    EXPECT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::empty) >= 0; }));
}

TEST_F(SidebarTest, RunningFolderIsTheGeneratingRowNotAnUnfinishedOne)
{
    write(output + "/Running-plan/request.json", request("달리는 중", "Running"));
    write(output + "/Other/request.json", request("", "Other"));
    build(generator);
    EXPECT_EQ(rowOf(Kind::generating), -1);
    ASSERT_EQ(resumeButtons().size(), 2);

    // The generator names the folder without the final "/".
    awaitStop();
    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    generator.run(GenerateInput::decode(request("달리는 중", "Running")), output + "/Running-plan", settings, false,
                  [](const QString &) {});
    ++started;
    ASSERT_TRUE(QTest::qWaitFor([this] { return claude.records("start").size() == 1; }, 60000));
    ASSERT_TRUE(generator.runningDir());
    EXPECT_FALSE(generator.runningDir()->endsWith('/'));
    state->refresh();
    awaitFiles(*state);
    EXPECT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::generating) >= 0; }));
    EXPECT_EQ(rowOf(Kind::unfinished, "달리는 중"), -1);
    EXPECT_GE(rowOf(Kind::unfinished, "Other"), 0);
    EXPECT_EQ(rows().at(rowOf(Kind::generating)), "generating|달리는 중|만드는 중…|");
    // The first plan is being made: the library is not "empty" meanwhile.
    EXPECT_EQ(rowOf(Kind::empty), -1) << rows().join("\n").toStdString();
    EXPECT_EQ(sidebar->model()->index(rowOf(Kind::generating)).data(SidebarModel::SymbolRole), "progress");
    // The running mark turns.
    const auto spinners = [this] {
        QList<QWidget *> shown;
        for (QWidget *mark : sidebar->list()->viewport()->findChildren<QWidget *>("spinner"))
            if (mark->isVisible())
                shown.append(mark);
        return shown;
    };
    ASSERT_EQ(spinners().size(), 1);
    const QImage first = spinners().first()->grab().toImage();
    EXPECT_TRUE(QTest::qWaitFor([&] { return spinners().first()->grab().toImage() != first; }));
    ASSERT_EQ(resumeButtons().size(), 1);
    EXPECT_FALSE(resumeButtons().first()->isEnabled());

    // Its menu only asks for the confirmation.
    QMenu *menu = sidebar->menuFor(rowOf(Kind::generating));
    ASSERT_EQ(actions(menu), QStringList({"만들기 취소…"}));
    action(menu, "만들기 취소…")->trigger();
    EXPECT_TRUE(state->cancelGenerating());
    EXPECT_TRUE(generator.phase().isRunning());

    // Stopped, the folder is one row telling what a second window or a
    // restart tells of it: stopped midway, to be resumed. It still opens
    // the run log with the failure.
    generator.cancel();
    const QString stopped = "unfinished|달리는 중|만들다 멈췄어요|";
    EXPECT_TRUE(QTest::qWaitFor([&] { return rows().contains(stopped); })) << rows().join("\n").toStdString();
    const int row = rows().indexOf(stopped);
    EXPECT_EQ(sidebar->model()->index(row).data(SidebarModel::SymbolRole), "pause.circle");
    EXPECT_EQ(sidebar->model()->rowOf(Selection::generating()), row);
    EXPECT_EQ(actions(sidebar->menuFor(row)), QStringList({"파일 관리자에서 보기", "휴지통으로"}));
    EXPECT_EQ(rowOf(Kind::generating), -1);
    EXPECT_TRUE(QTest::qWaitFor([this] { return claude.records("sigterm").size() == 1; }, 60000));
    state->refresh();
    awaitFiles(*state);
    sidebar->rebuildNow();
    EXPECT_EQ(rows().filter("달리는 중").size(), 1);
    ASSERT_EQ(resumeButtons().size(), 2);
    QPushButton *resume = nullptr;
    for (QPushButton *button : resumeButtons()) {
        EXPECT_TRUE(button->isEnabled());
        const QRect at(button->mapTo(sidebar->list()->viewport(), QPoint(0, 0)), button->size());
        if (sidebar->list()->indexAt(at.center()).row() == rows().indexOf(stopped))
            resume = button;
    }
    ASSERT_TRUE(resume) << "the resume sits on the stopped run's row";
    EXPECT_TRUE(resume->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return spinners().isEmpty(); }));

    Generator restarted;
    AppState second;
    awaitFiles(second);
    QWidget secondWindow;
    auto *other = new Sidebar(&second, restarted, nullptr, &secondWindow);
    EXPECT_EQ(rows(), rowsOf(other->model()));

    generator.setPhase(Generator::Phase::idle());
    EXPECT_TRUE(QTest::qWaitFor([this] { return rowOf(Kind::generating) < 0; }));
}

TEST_F(SidebarTest, ResumeSelectsTheGeneratingRowOnceTheRunIsKnown)
{
    write(output + "/Kept-plan/request.json", request("남긴 것", "Kept"));
    awaitStop();
    AppSettings settings = stored();
    settings.claudePath = FakeClaude::path();
    settings.save();
    Generator &shared = Generator::shared();
    build(shared);
    ASSERT_EQ(resumeButtons().size(), 1);

    // The state selects the run before the generator names its folder; the
    // one rebuild after both shows the generating row selected and the
    // folder no longer listed as unfinished.
    QTest::mouseClick(resumeButtons().first(), Qt::LeftButton);
    ++started;
    // The request is read beside the event loop first.
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->selection() == Selection::generating(); }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return rowOf(Kind::generating) >= 0; }));
    EXPECT_EQ(sidebar->list()->currentIndex().row(), rowOf(Kind::generating));
    EXPECT_EQ(rowOf(Kind::unfinished, "남긴 것"), -1);
    ASSERT_TRUE(QTest::qWaitFor([this] { return claude.records("start").size() == 1; }, 60000));
    shared.cancel();
    EXPECT_TRUE(QTest::qWaitFor([this] { return claude.records("sigterm").size() == 1; }, 60000));
    shared.setPhase(Generator::Phase::idle());
}

// The plan under revision says so in its row while the revision runs.
TEST_F(SidebarTest, APlanUnderRevisionSaysSoInItsRow)
{
    const QString alpha = makePlan(output + "/Alpha-plan", "Alpha", "Alpha", 30);
    makePlan(output + "/Beta-plan", "베타", "Beta", 20);
    build(generator);
    awaitStop();
    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    ASSERT_TRUE(Reviser::shared().revise("제목을 바꿔 줘", {}, alpha, settings));
    ++started;
    EXPECT_TRUE(QTest::qWaitFor([&] { return rows().contains("plan|Alpha|고치는 중…|"); }, 60000))
        << rows().join("\n").toStdString();
    EXPECT_TRUE(rows().contains("plan|베타|Beta|")) << rows().join("\n").toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !claude.records("start").isEmpty(); }, 60000));
    Reviser::shared().cancel();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Reviser::shared().phase().isRunning() && rows().contains("plan|Alpha|Alpha|"); },
                                60000))
        << rows().join("\n").toStdString();
}

// A run that fails in the folder it made leaves that folder behind: its row
// at once reads as a refresh, a second window and the next start read it
// (stopped midway, to be resumed), as an older failure's row does.
TEST_F(SidebarTest, AFailedRunReadsTheSameBeforeAndAfterARefresh)
{
    write(output + "/Older/request.json", request("예전", "Older"));
    build(generator);
    claude.setScenario(QJsonObject{{"steps", QJsonArray{QJsonObject{{"err", "no"}}}}, {"exit", 1}});
    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    generator.run(GenerateInput::decode(request("새로 만듦", "Fresh")), output + "/Fresh-plan", settings, false,
                  [](const QString &) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return generator.phase().kind == Generator::Phase::Kind::failed; }, 30000))
        << generator.phase().text.toStdString();
    const QString stopped = "unfinished|새로 만듦|만들다 멈췄어요|";
    EXPECT_TRUE(QTest::qWaitFor([&] { return rows().contains(stopped); }, 15000)) << rows().join("\n").toStdString();
    EXPECT_EQ(rowOf(Kind::generating), -1) << rows().join("\n").toStdString();
    EXPECT_TRUE(rows().contains("unfinished|예전|만들다 멈췄어요|"));
    const QStringList before = rows();
    state->refresh();
    awaitFiles(*state);
    sidebar->rebuildNow();
    EXPECT_EQ(rows(), before);
}
