#include "displaylock.h"
#include "library.h"

#include "core/folderlock.h"
#include "core/privatetemp.h"
#include "core/text.h"
#include "export/exporter.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "support/richplan.h"
#include "views/decisionbridge.h"
#include "views/paneldesktop.h"
#include "views/revisedrafts.h"
#include "views/revisepanel.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QImage>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

class CountingDesktop : public PanelDesktop
{
public:
    int beeps = 0;
    QStringList offered;
    void beep() override { ++beeps; }
    void chooseImages(QWidget *, const QString &folder, Chosen chosen) override { folders.append(folder), chosen(offered); }
    QStringList folders;
};

template<typename Done>
bool spin(Done done, int milliseconds = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

QString pngFile(const QString &path, QColor colour = Qt::blue)
{
    QImage image(20, 10, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path, "PNG");
    return path;
}

// Clipboard or drag data: any of a text, links and a picture of one colour.
QMimeData *mimeData(const QString &text, const QList<QUrl> &urls = {}, QColor picture = QColor())
{
    auto *data = new QMimeData;
    if (!text.isNull())
        data->setText(text);
    if (!urls.isEmpty())
        data->setUrls(urls);
    if (picture.isValid()) {
        QImage image(6, 6, QImage::Format_ARGB32);
        image.fill(picture);
        data->setImageData(image);
    }
    return data;
}

QList<QUrl> files(const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return urls;
}

// A picture taken from data lands in the private temporary folder, readable
// by its owner alone.
void expectCapture(const QString &capture, QColor colour)
{
    EXPECT_EQ(QFileInfo(capture).path(), *PrivateTemp::folder());
    EXPECT_TRUE(QRegularExpression(u"^quarrystone-capture-[0-9A-F]{8}\\.png$"_s).match(QFileInfo(capture).fileName()).hasMatch())
        << capture.toStdString();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(capture).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(QImage(capture).pixelColor(0, 0), colour);
}

class RevisePanelTest : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        desktop = std::make_shared<CountingDesktop>();
        PanelDesktop::replace(desktop);
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        AppSettings settings = state->settings();
        settings.claudePath = FakeClaude::path();
        state->setSettings(settings);
        a = writePlan(u"a-plan"_s);
        b = writePlan(u"b-plan"_s);
        window.resize(420, 900);
        new QVBoxLayout(&window);
    }

    void TearDown() override
    {
        if (Reviser::shared().phase().isRunning()) {
            Reviser::shared().cancel();
            spin([] { return !Reviser::shared().phase().isRunning(); });
        }
        PanelDesktop::replace(nullptr);
        Generator::shared().setPhase(Generator::Phase::idle());
        ReviseDrafts::clear(a);
        ReviseDrafts::clear(b);
    }

    QString writePlan(const QString &name)
    {
        Plan plan = RichPlan::make();
        const QString dir = output + u"/"_s + name;
        Exporter::writeAll(plan, dir, Conventions::builtIn());
        return dir;
    }

    RevisePanel *makePanel(const QString &dir)
    {
        auto *panel = new RevisePanel(state.get(), dir, [this] { ++changes; }, &window);
        window.layout()->addWidget(panel);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        // Keys go to the widgets themselves; the focus is left to other tests.
        return panel;
    }

    template<typename T>
    T *find(RevisePanel *panel, const QString &name)
    {
        T *found = panel->findChild<T *>(name);
        EXPECT_TRUE(found) << name.toStdString();
        return found;
    }

    QPlainTextEdit *editor(RevisePanel *panel) { return find<QPlainTextEdit>(panel, u"request"_s); }
    QPushButton *button(RevisePanel *panel, const QString &name) { return find<QPushButton>(panel, name); }

    void type(RevisePanel *panel, const QString &text)
    {
        editor(panel)->setFocus();
        editor(panel)->selectAll();
        editor(panel)->insertPlainText(text);
    }

    std::shared_ptr<CountingDesktop> desktop;
    std::unique_ptr<AppState> state;
    FakeClaude fake;
    QString a;
    QString b;
    QWidget window;
    int changes = 0;
};

TEST_F(RevisePanelTest, ARevisionNeedsARequestOrAPictureLocksTheRequestStopsOnceAndIsUndoneOnAsking)
{
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    RevisePanel *panel = makePanel(a);
    QPushButton *revise = button(panel, u"revise"_s);
    EXPECT_EQ(revise->text(), u"고치기"_s);
    EXPECT_FALSE(revise->isEnabled());
    type(panel, u"  \n\t \n"_s);
    EXPECT_FALSE(revise->isEnabled());
    desktop->offered = {pngFile(root.filePath(u"shot.png"_s))};
    button(panel, u"addImages"_s)->click();
    EXPECT_EQ(panel->images(), desktop->offered);
    EXPECT_EQ(desktop->folders, QStringList{a});
    EXPECT_TRUE(revise->isEnabled());
    // Picking an attached file again attaches nothing; a file that is no
    // picture is not attached, and why is said.
    const QStringList picked = desktop->offered;
    Library::write(root.filePath(u"notes.png"_s), "notes");
    desktop->offered.append(root.filePath(u"notes.png"_s));
    button(panel, u"addImages"_s)->click();
    EXPECT_EQ(panel->images(), picked);
    EXPECT_EQ(state->message(), u"이미지를 읽지 못했어요: notes.png (그림 파일(PNG, JPEG, GIF, WebP)이 아니에요)"_s);
    EXPECT_TRUE(find<QScrollArea>(panel, u"attachmentStrip"_s)->isVisible());
    find<QToolButton>(panel, u"tileRemove"_s)->click();
    EXPECT_TRUE(panel->images().isEmpty());
    EXPECT_FALSE(find<QScrollArea>(panel, u"attachmentStrip"_s)->isVisible());
    EXPECT_FALSE(revise->isEnabled());

    type(panel, u"제목을 고쳐 줘"_s);
    EXPECT_TRUE(revise->isEnabled());
    Generator::shared().setPhase(Generator::Phase::running(u"검사"_s));
    EXPECT_FALSE(revise->isEnabled());
    // Ctrl+Return does nothing while the button is disabled, not even a line break.
    QTest::keyClick(editor(panel), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(Reviser::shared().phase().isRunning());
    EXPECT_EQ(editor(panel)->toPlainText(), u"제목을 고쳐 줘"_s);
    Generator::shared().setPhase(Generator::Phase::idle());
    EXPECT_TRUE(revise->isEnabled());

    // No history: nothing to undo; no log: no log section.
    EXPECT_FALSE(button(panel, u"undo"_s)->isEnabled());
    EXPECT_EQ(button(panel, u"undo"_s)->toolTip(), u"바로 전에 고친 것(또는 가져온 것)을 취소하고 그 전 계획서로 돌려요"_s);
    // One act, one word: the panel, its buttons and its log say "고치기".
    EXPECT_EQ(find<QLabel>(panel, u"heading"_s)->text(), u"계획서 고치기"_s);
    EXPECT_EQ(revise->text(), u"고치기"_s);
    EXPECT_EQ(button(panel, u"undo"_s)->text(), u"직전 고치기 취소"_s);
    EXPECT_EQ(find<QToolButton>(panel, u"logToggle"_s)->text(), u"고친 기록"_s);
    EXPECT_FALSE(find<QWidget>(panel, u"revisionLog"_s)->isVisible());

    // Ctrl+Return starts a revision that locks the request.
    type(panel, u"메모"_s);
    QTest::keyClick(editor(panel), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(Reviser::shared().phase().isRunning());
    EXPECT_FALSE(editor(panel)->isEnabled());
    EXPECT_FALSE(find<QWidget>(panel, u"pasteCapture"_s)->isEnabled());
    EXPECT_TRUE(button(panel, u"stop"_s)->isVisible());
    EXPECT_TRUE(find<QWidget>(panel, u"spinner"_s)->isVisible());
    EXPECT_FALSE(button(panel, u"revise"_s)->isVisible());
    QLabel *running = find<QLabel>(panel, u"statusRunning"_s);
    EXPECT_TRUE(running->isVisible());
    EXPECT_TRUE(running->text().endsWith(u" · 0초"_s)) << running->text().toStdString();
    // The clock ticks; a busy machine may hold the window past a second.
    const QRegularExpression ticked(u" · [1-9][0-9]*초$"_s);
    ASSERT_TRUE(spin([&] { return ticked.match(running->text()).hasMatch(); }, 60000)) << running->text().toStdString();
    EXPECT_TRUE(running->text().startsWith(Reviser::shared().phase().text + u" · "_s));

    // A pick while Claude works is refused with a beep.
    DecisionBridge::shared()->receive(a, QJsonObject{{u"id"_s, u"D1"_s}, {u"choice"_s, u"예"_s}});
    QCoreApplication::processEvents();
    EXPECT_EQ(desktop->beeps, 1);
    EXPECT_EQ(panel->request(), u"메모"_s);

    ASSERT_TRUE(spin([&] { return !fake.records(u"start"_s).isEmpty(); }));
    // The revision's own backup is there, yet no undo while it runs.
    ASSERT_TRUE(Reviser::lastBackup(a));
    spin([] { return false; }, 1200);
    EXPECT_FALSE(button(panel, u"undo"_s)->isEnabled());
    button(panel, u"stop"_s)->click();
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    spin([] { return false; }, 200);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(panel->request(), u"메모"_s);
    EXPECT_EQ(editor(panel)->toPlainText(), u"메모"_s);
    EXPECT_TRUE(editor(panel)->isEnabled());
    QLabel *failed = find<QLabel>(panel, u"statusFailed"_s);
    EXPECT_TRUE(failed->isVisible());
    EXPECT_EQ(failed->text(), u"멈췄어요. 고치기 전으로 돌려 놨어요."_s);
    EXPECT_EQ(failed->textFormat(), Qt::PlainText);

    // A success empties the draft; the undo quotes the last request, whose
    // 120 graphemes end with the flag.
    const QString request = QString(118, QChar(u'가')) + u"👍🏽🇰🇷e\u0301 꼬리"_s;
    Plan edited = RichPlan::make();
    edited.meta.title = u"고친 제목"_s;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"}, {"content", QString::fromUtf8(QJsonDocument(edited.toJson()).toJson())}},
                                           FakeClaude::resultEvent(u"제목을 바꿨어요"_s)}}});
    type(panel, request);
    button(panel, u"addImages"_s)->click(); // the picture removed above
    button(panel, u"revise"_s)->click();
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    ASSERT_EQ(Reviser::shared().phase().kind, Reviser::Phase::Kind::done) << Reviser::shared().phase().text.toStdString();
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(editor(panel)->toPlainText(), QString());
    EXPECT_TRUE(panel->images().isEmpty());
    EXPECT_FALSE(find<QScrollArea>(panel, u"attachmentStrip"_s)->isVisible());
    EXPECT_TRUE(find<QWidget>(panel, u"statusDone"_s)->isVisible());
    EXPECT_EQ(find<QLabel>(panel, u"statusAnswer"_s)->text(), u"제목을 바꿨어요"_s);

    // The log came up folded; a click unfolds it.
    ASSERT_TRUE(spin([&] { return find<QWidget>(panel, u"revisionLog"_s)->isVisible(); }, 60000));
    QLabel *log = find<QLabel>(panel, u"logText"_s);
    EXPECT_FALSE(log->isVisible());
    find<QToolButton>(panel, u"logToggle"_s)->click();
    EXPECT_TRUE(log->isVisible());
    EXPECT_TRUE(log->text().contains(u"제목을 바꿨어요"_s));

    QPushButton *undo = button(panel, u"undo"_s);
    ASSERT_TRUE(spin([&] { return undo->isEnabled(); }, 60000));
    undo->click();
    auto *box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    // The question is the dialog's text, seen without a window frame.
    EXPECT_EQ(box->text(), u"직전 고치기를 취소할까요?"_s);
    EXPECT_EQ(box->informativeText(), u"“"_s + Text::graphemePrefix(request, 120) + u"” 로 고친 것을 취소하고 그 전 계획서로 돌려요."_s);
    // Whole user-perceived characters: the skin tone and the flag stay whole.
    EXPECT_TRUE(box->informativeText().endsWith(u"가👍🏽🇰🇷” 로 고친 것을 취소하고 그 전 계획서로 돌려요."_s)) << box->informativeText().toStdString();
    box->findChild<QPushButton *>(u"keepButton"_s)->click();
    spin([] { return false; }, 100);
    EXPECT_EQ(changes, 2);

    undo->click();
    box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    ASSERT_TRUE(box);
    box->findChild<QPushButton *>(u"confirmUndoButton"_s)->click();
    ASSERT_TRUE(spin([&] { return changes == 3; }, 60000));
    EXPECT_EQ(Reviser::shared().phase(), Reviser::Phase::done(u"직전 고치기 전으로 되돌렸어요"_s));
    EXPECT_EQ(find<QLabel>(panel, u"statusAnswer"_s)->text(), u"직전 고치기 전으로 되돌렸어요"_s);

    // A request of decision picks only is quoted as the decisions picked.
    Reviser::backup(a);
    Reviser::appendLog(a, u"- D1 는 “숨긴다” 로 결정\n- D2 는 “사진 없이 “가능”” 로 결정"_s, u"- 결정"_s, u"tester"_s);
    ASSERT_TRUE(spin([&] { return undo->isEnabled(); }, 60000));
    undo->click();
    box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->informativeText(), u"“D1 → 숨긴다, D2 → 사진 없이 “가능”” 로 고친 것을 취소하고 그 전 계획서로 돌려요."_s);
    box->findChild<QPushButton *>(u"keepButton"_s)->click();
    spin([] { return false; }, 100);

    // With no log the confirmation asks without a quote.
    QFile::remove(a + u"/history/revisions.md"_s);
    Reviser::backup(a);
    ASSERT_TRUE(spin([&] { return undo->isEnabled(); }, 60000));
    undo->click();
    box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->informativeText(), u"바로 전에 고친 내용을 취소하고 그 전 계획서로 돌려요."_s);
    box->findChild<QPushButton *>(u"keepButton"_s)->click();
}

TEST_F(RevisePanelTest, PasteAndDropAttachPicturesAndImageDataAsPrivateCaptures)
{
    RevisePanel *panel = makePanel(a);
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto offer = [&](QMimeData *data) {
        clipboard->setMimeData(data);
        QCoreApplication::processEvents();
    };

    // Ctrl+V: an image with a link is attached as a private capture.
    offer(mimeData(u"https://example.com/shot"_s, {}, Qt::green));
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(panel->images().size(), 1);
    EXPECT_EQ(editor(panel)->toPlainText(), QString());
    const QString capture = panel->images().first();
    expectCapture(capture, Qt::green);

    // Ordinary text that also carries an image pastes the text.
    offer(mimeData(u"그냥 글"_s, {}, Qt::green));
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(panel->images().size(), 1);
    EXPECT_EQ(editor(panel)->toPlainText(), u"그냥 글"_s);

    // Ctrl+Shift+V is not the panel's.
    offer(mimeData(QString(), {}, Qt::green));
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(panel->images().size(), 1);

    // An image file on the clipboard is attached by its own path, each time.
    const QString file = pngFile(root.filePath(u"copied.png"_s));
    offer(mimeData(file, files({file})));
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::MetaModifier);
    EXPECT_EQ(panel->images(), (QStringList{capture, file, file}));
    // A decision posted while pictures are attached rebuilds their tiles and
    // keeps every picture.
    DecisionBridge::shared()->receive(a, QJsonObject{{u"id"_s, u"D1"_s}, {u"choice"_s, u"예"_s}});
    QCoreApplication::processEvents();
    EXPECT_EQ(panel->images(), (QStringList{capture, file, file}));
    EXPECT_EQ(editor(panel)->toPlainText(), u"그냥 글\n"_s + DecisionBridge::choiceLine(u"D1"_s, u"예"_s));

    // Another window's paste is its own.
    offer(mimeData(u"https://example.com"_s, {}, Qt::green));
    QWidget other;
    auto *line = new QLineEdit(&other);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    QTest::keyClick(line, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(panel->images().size(), 3);
    EXPECT_EQ(line->text(), u"https://example.com"_s);

    // Drops, on the other folder's empty draft.
    panel->setDir(b);
    EXPECT_TRUE(panel->images().isEmpty());
    const QString picture = pngFile(root.filePath(u"dropped <b>.png"_s));
    const QString text = root.filePath(u"notes.txt"_s);
    Library::write(text, "notes");
    const auto drop = [&](QMimeData *data, QWidget *target) {
        const QPoint at(target->width() / 2, target->height() / 2);
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        const bool accepted = enter.isAccepted();
        // The outline shows while a usable drag is over the panel.
        EXPECT_EQ(find<QWidget>(panel, u"dropHighlight"_s)->isVisible(), accepted);
        QDropEvent dropped(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &dropped);
        EXPECT_FALSE(find<QWidget>(panel, u"dropHighlight"_s)->isVisible());
        delete data;
        return accepted;
    };
    EXPECT_TRUE(drop(mimeData(QString(), files({text})), panel));
    EXPECT_TRUE(panel->images().isEmpty());
    EXPECT_FALSE(drop(mimeData(u"글만"_s), panel));
    EXPECT_TRUE(drop(mimeData(QString(), files({picture, text})), panel));
    EXPECT_EQ(panel->images(), QStringList{picture});
    auto *tile = find<QLabel>(panel, u"tilePicture"_s);
    EXPECT_TRUE(tile->toolTip().contains(u"dropped &lt;b&gt;.png"_s)) << tile->toolTip().toStdString();
    EXPECT_FALSE(tile->pixmap().isNull());
    // Again, onto the request editor: still once.
    EXPECT_TRUE(drop(mimeData(QString(), files({picture})), editor(panel)->viewport()));
    EXPECT_EQ(panel->images(), QStringList{picture});
    EXPECT_EQ(editor(panel)->toPlainText(), QString());

    EXPECT_TRUE(drop(mimeData(QString(), {}, Qt::red), panel));
    ASSERT_EQ(panel->images().size(), 2);
    expectCapture(panel->images().at(1), Qt::red);
    EXPECT_EQ(find<QScrollArea>(panel, u"attachmentStrip"_s)->findChildren<QWidget *>(u"tile"_s).size(), 2);
    // A picture dragged out of a web page: its web address is no file, its data is taken.
    EXPECT_TRUE(drop(mimeData(QString(), {QUrl(u"https://example.com/shot.png"_s)}, Qt::red), panel));
    ASSERT_EQ(panel->images().size(), 3);
    expectCapture(panel->images().at(2), Qt::red);

    // Hidden, the panel takes nothing.
    offer(mimeData(u"https://example.com"_s, {}, Qt::green));
    window.hide();
    QTest::keyClick(editor(panel), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(panel->images().size(), 3);
}

TEST_F(RevisePanelTest, DraftsAndDecisionsStayWithTheirFolder)
{
    RevisePanel *panel = makePanel(a);
    const QString one = DecisionBridge::choiceLine(u"D1"_s, u"예"_s);
    type(panel, u"A 메모"_s);
    DecisionBridge::shared()->receive(a, QJsonObject{{u"id"_s, u"D1"_s}, {u"choice"_s, u"예"_s}});
    QCoreApplication::processEvents();
    EXPECT_EQ(editor(panel)->toPlainText(), u"A 메모\n"_s + one);
    // The decision is one step of the editor's history, and the typing
    // before it stays undoable.
    QTest::keyClick(editor(panel), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(editor(panel)->toPlainText(), u"A 메모"_s);
    QTest::keyClick(editor(panel), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(editor(panel)->toPlainText(), QString());
    EXPECT_EQ(panel->request(), QString());
    QTest::keyClick(editor(panel), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(editor(panel), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(editor(panel)->toPlainText(), u"A 메모\n"_s + one);
    EXPECT_EQ(panel->request(), u"A 메모\n"_s + one);

    panel->setDir(b);
    EXPECT_EQ(editor(panel)->toPlainText(), QString());
    EXPECT_FALSE(button(panel, u"revise"_s)->isEnabled());
    // A's page still posts to A's draft, not to the request on screen.
    DecisionBridge::shared()->receive(a, QJsonObject{{u"id"_s, u"D1"_s}, {u"clear"_s, true}});
    DecisionBridge::shared()->receive(b, QJsonObject{{u"id"_s, u"D7"_s}, {u"text"_s, u"둘\r\n째"_s}});
    QCoreApplication::processEvents();
    EXPECT_EQ(editor(panel)->toPlainText(), DecisionBridge::textLine(u"D7"_s, u"둘 째"_s));
    EXPECT_EQ(ReviseDrafts::of(a + u"/"_s).request, u"A 메모"_s);

    panel->setDir(a);
    EXPECT_EQ(editor(panel)->toPlainText(), u"A 메모"_s);
    EXPECT_EQ(desktop->beeps, 0);

    // A new panel for a folder shows its draft; the last panel shown holds the handler.
    delete panel;
    RevisePanel *again = makePanel(b);
    EXPECT_EQ(again->request(), DecisionBridge::textLine(u"D7"_s, u"둘 째"_s));
    DecisionBridge::shared()->receive(b, QJsonObject{{u"id"_s, u"D7"_s}, {u"choice"_s, u"Z"_s}});
    QCoreApplication::processEvents();
    EXPECT_EQ(editor(again)->toPlainText(), DecisionBridge::choiceLine(u"D7"_s, u"Z"_s));
}

TEST_F(RevisePanelTest, WorkOutlivingItsPanelStillRefreshesThePlanAndTheLibrary)
{
    state->refresh();
    awaitFiles(*state);
    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    const auto titleOf = [&](const QString &dir) {
        for (const PlanRef &ref : state->plans())
            if (ref.url == AppState::standardFolder(dir))
                return ref.title;
        return QString();
    };
    ASSERT_EQ(titleOf(a), RichPlan::make().meta.title);

    // Another plan is selected while Claude works: the panel that started
    // the revision is gone when it ends.
    Plan edited = RichPlan::make();
    edited.meta.title = u"고친 제목"_s;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"sleep", 600}},
                                           QJsonObject{{"writeFile", "plan.json"}, {"content", QString::fromUtf8(QJsonDocument(edited.toJson()).toJson())}},
                                           FakeClaude::resultEvent(u"제목을 바꿨어요"_s)}}});
    RevisePanel *panel = makePanel(a);
    type(panel, u"제목을 고쳐 줘"_s);
    button(panel, u"revise"_s)->click();
    ASSERT_TRUE(Reviser::shared().phase().isRunning());
    delete panel;
    state->setSelection(Selection::plan(b));
    awaitFiles(*state);
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    awaitFiles(*state);
    ASSERT_EQ(Reviser::shared().phase().kind, Reviser::Phase::Kind::done) << Reviser::shared().phase().text.toStdString();
    EXPECT_EQ(titleOf(a), u"고친 제목"_s) << "the library shows the new title";
    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    EXPECT_EQ(state->plan().meta.title, u"고친 제목"_s);
    EXPECT_EQ(changes, 0);

    // A stop whose panel has gone: the library is read again, and finds the
    // plan made meanwhile.
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    // Backups are named by the second.
    const int second = QTime::currentTime().second();
    spin([&] { return QTime::currentTime().second() != second; }, 1500);
    panel = makePanel(a);
    type(panel, u"또 고쳐 줘"_s);
    const qsizetype started = fake.records(u"start"_s).size();
    button(panel, u"revise"_s)->click();
    ASSERT_TRUE(spin([&] { return fake.records(u"start"_s).size() > started; }));
    delete panel;
    const QString c = writePlan(u"c-plan"_s);
    Reviser::shared().cancel();
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    awaitFiles(*state);
    EXPECT_EQ(Reviser::shared().phase(), Reviser::Phase::failed(u"멈췄어요. 고치기 전으로 돌려 놨어요."_s));
    EXPECT_EQ(titleOf(c), RichPlan::make().meta.title);

    // An undo confirmed after its panel has gone is still done, and read.
    panel = makePanel(a);
    QPushButton *undo = button(panel, u"undo"_s);
    ASSERT_TRUE(spin([&] { return undo->isEnabled(); }, 60000));
    undo->click();
    QPointer<QMessageBox> box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    ASSERT_TRUE(box);
    delete panel;
    const QString d = writePlan(u"d-plan"_s);
    box->findChild<QPushButton *>(u"confirmUndoButton"_s)->click();
    ASSERT_TRUE(spin([] { return Reviser::shared().phase().kind == Reviser::Phase::Kind::done; }, 60000));
    awaitFiles(*state);
    EXPECT_EQ(Reviser::shared().phase().text, u"직전 고치기 전으로 되돌렸어요"_s);
    EXPECT_EQ(titleOf(d), RichPlan::make().meta.title);
    EXPECT_EQ(state->plan().meta.title, titleOf(a));
    EXPECT_EQ(changes, 0);
    ReviseDrafts::clear(c);
    ReviseDrafts::clear(d);
}

// Each plan's panel shows its own revision, not another plan's run, result
// or undo; an undo says so, and quotes the change it takes back, past a
// rollback's entry. A refusal goes once the other program's change is read.
TEST_F(RevisePanelTest, EachPlanShowsItsOwnRevisionAndTheUndoNamesWhatItTakesBack)
{
    state->refresh();
    awaitFiles(*state);
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    RevisePanel *first = makePanel(a);
    RevisePanel *second = makePanel(b);
    ASSERT_TRUE(spin([&] { return second->isVisible(); }));
    type(first, u"메모"_s);
    button(first, u"revise"_s)->click();
    ASSERT_TRUE(spin([&] { return !fake.records(u"start"_s).isEmpty(); }));
    EXPECT_FALSE(button(second, u"stop"_s)->isVisible() || find<QLabel>(second, u"statusRunning"_s)->isVisible());
    QTest::keyClicks(editor(second), u"b"_s);
    EXPECT_TRUE(second->request() == u"b"_s && !button(second, u"revise"_s)->isEnabled()) << "one revision at a time";
    // The greyed button says why, naming the plan that is being revised.
    auto *why = find<QLabel>(second, u"otherPlanBusy"_s);
    ASSERT_TRUE(why);
    EXPECT_TRUE(why->isVisible());
    // The plan is named as the library names it, by its title.
    EXPECT_EQ(why->text(), u"다른 계획서("_s + RichPlan::make().meta.title + u")를 고치는 중이에요. 끝나면 이 계획서도 고칠 수 있어요."_s);
    EXPECT_FALSE(find<QLabel>(first, u"otherPlanBusy"_s)->isVisible());
    button(first, u"stop"_s)->click();
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    EXPECT_FALSE(why->isVisible());
    EXPECT_FALSE(find<QLabel>(second, u"statusFailed"_s)->isVisible());
    EXPECT_EQ(changes, 1) << "the other plan's failure reloads only its own";

    Plan edited = RichPlan::make();
    edited.meta.title = u"고친 제목"_s;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"}, {"content", QString::fromUtf8(QJsonDocument(edited.toJson()).toJson())}},
                                           FakeClaude::resultEvent(u"바꿨어요"_s)}}});
    type(first, u"제목을 고쳐 줘"_s);
    button(first, u"revise"_s)->click();
    ASSERT_TRUE(spin([] { return Reviser::shared().phase().kind == Reviser::Phase::Kind::done; }));
    EXPECT_FALSE(find<QWidget>(second, u"statusDone"_s)->isVisible());
    Reviser::appendLog(a, Reviser::rollbackRequest(), u"- 되돌림"_s, u"tester"_s);
    ASSERT_TRUE(spin([&] { return button(first, u"undo"_s)->isEnabled(); }, 60000));
    button(first, u"undo"_s)->click();
    auto *box = window.findChild<QMessageBox *>(u"confirmUndo"_s);
    EXPECT_EQ(box->informativeText(), u"“제목을 고쳐 줘” 로 고친 것을 취소하고 그 전 계획서로 돌려요."_s);
    box->findChild<QPushButton *>(u"confirmUndoButton"_s)->click();
    ASSERT_TRUE(spin([] { return Reviser::shared().phase().text == u"직전 고치기 전으로 되돌렸어요"_s; }, 60000));
    EXPECT_EQ(find<QLabel>(first, u"statusDoneHeading"_s)->text(), u"되돌렸어요 — 왼쪽에 다시 그렸어요"_s);
    // Another program revises the plan shown: the result told of a plan.json
    // that is no more goes with it.
    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    QWidget *done = find<QWidget>(first, u"statusDone"_s);
    ASSERT_TRUE(done->isVisible());
    edited.meta.title = u"밖에서 고친 제목"_s;
    Exporter::writeAll(edited, a, Conventions::builtIn());
    EXPECT_TRUE(spin([&] { return !done->isVisible(); }));
    EXPECT_EQ(state->plan().meta.title, u"밖에서 고친 제목"_s);
    first->setDir(writePlan(u"c-plan"_s));
    EXPECT_FALSE(find<QWidget>(first, u"statusDone"_s)->isVisible());

    state->setSelection(Selection::plan(b));
    awaitFiles(*state);
    auto elsewhere = std::make_unique<FolderLock>(FolderLock::take(b));
    button(second, u"revise"_s)->click();
    QLabel *failed = find<QLabel>(second, u"statusFailed"_s);
    ASSERT_TRUE(spin([&] { return failed->text().startsWith(u"다른 작업이 이 계획서 폴더를 쓰고 있어요"_s) && failed->isVisible(); }));
    edited.meta.title = u"다른 곳에서 고친 제목"_s;
    Exporter::writeAll(edited, b, Conventions::builtIn());
    elsewhere.reset();
    EXPECT_TRUE(spin([&] { return !failed->isVisible(); }));
    EXPECT_EQ(second->request(), u"b"_s);
    ReviseDrafts::clear(output + u"/c-plan"_s);
}

TEST_F(RevisePanelTest, CtrlEnterRevisesFromAnywhereInTheWindowWhileTheButtonCan)
{
    DisplayLock display;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    auto *elsewhere = new QLineEdit(&window);
    window.layout()->addWidget(elsewhere);
    RevisePanel *panel = makePanel(a);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    elsewhere->setFocus();
    ASSERT_TRUE(spin([&] { return elsewhere->hasFocus(); }, 60000));

    // Nothing to send: the keys do nothing.
    QTest::keyClick(elsewhere, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(Reviser::shared().phase().isRunning());
    type(panel, u"제목을 고쳐 줘"_s);
    elsewhere->setFocus();
    Generator::shared().setPhase(Generator::Phase::running(u"검사"_s));
    QTest::keyClick(elsewhere, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(Reviser::shared().phase().isRunning());
    Generator::shared().setPhase(Generator::Phase::idle());

    QTest::keyClick(elsewhere, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    ASSERT_TRUE(Reviser::shared().phase().isRunning());
    EXPECT_EQ(elsewhere->text(), QString());
    // While it runs the keys start nothing more.
    QTest::keyClick(elsewhere, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(spin([&] { return !fake.records(u"start"_s).isEmpty(); }));
    button(panel, u"stop"_s)->click();
    ASSERT_TRUE(spin([] { return !Reviser::shared().phase().isRunning(); }));
    EXPECT_EQ(fake.records(u"start"_s).size(), 1);
    EXPECT_EQ(changes, 1);

    QTest::keyClick(elsewhere, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(Reviser::shared().phase().isRunning());
}

} // namespace
