#include "views/planeditorview.h"

#include "app/appstate.h"
#include "app/viewfactory.h"
#include "model/developer.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "views/developsheet.h"
#include "views/planwebview.h"
#include "views/revisepanel.h"
#include "views/viewstyle.h"
#include "views/webviewshelf.h"
#include "views/webzoom.h"
#include "views/zoomcontrol.h"

#include <QDir>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

// One line that never widens the header: cut with "…" where the pane
// ends, the whole text in its tool tip.
class ElidedLine : public QLabel
{
public:
    ElidedLine(Qt::TextElideMode mode, QWidget *parent)
        : QLabel(parent)
        , m_mode(mode)
    {
        setTextFormat(Qt::PlainText);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

    void setFullText(const QString &text)
    {
        m_full = text;
        // Tool tips take rich text when it looks like markup; the text never does.
        setToolTip(text.isEmpty() ? QString() : u"<p style=\"white-space:pre\">"_s + text.toHtmlEscaped() + u"</p>"_s);
        elide();
    }
    QString fullText() const { return m_full; }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(m_full, m_mode, std::max(0, width()))); }

    const Qt::TextElideMode m_mode;
    QString m_full;
};

// The folder as the editor compares it with the generator's: absent stays absent.
std::optional<QString> standard(const std::optional<QString> &dir)
{
    if (!dir)
        return std::nullopt;
    return AppState::standardFolder(*dir);
}

} // namespace

PlanEditorView::PlanEditorView(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    setObjectName(u"planEditorView"_s);
    setWindowTitle(u"quarrystone"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    m_content = new QStackedWidget(this);
    m_content->setObjectName(u"editorContent"_s);
    m_empty = new QWidget(m_content);
    m_content->addWidget(m_empty);
    layout->addWidget(m_content, 1);

    connect(m_state, &AppState::planChanged, this, &PlanEditorView::refresh);
    connect(m_state, &AppState::planDirChanged, this, &PlanEditorView::refresh);
    connect(m_state, &AppState::planReplaced, this, &PlanEditorView::reloadPage);
    Generator &generator = Generator::shared();
    connect(&generator, &Generator::phaseChanged, this, &PlanEditorView::refresh);
    connect(&generator, &Generator::runningDirChanged, this, &PlanEditorView::refresh);
    connect(&Reviser::shared(), &Reviser::phaseChanged, this, &PlanEditorView::refreshHeader);
    connect(&Developer::shared(), &Developer::runsChanged, this, &PlanEditorView::refreshHeader);
    connect(this, &PlanEditorView::developRequested, this, &PlanEditorView::openDevelop);
    // From the page to the request and back, without walking every stop
    // between them.
    connect(new QShortcut(QKeySequence(Qt::Key_F6), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut),
            &QShortcut::activated, this, &PlanEditorView::switchPageAndRequest);
    refresh();
}

void PlanEditorView::switchPageAndRequest()
{
    PlanWebView *web = webView();
    auto *request = m_panel ? m_panel->findChild<QPlainTextEdit *>(u"request"_s) : nullptr;
    if (!web || !request)
        return;
    if (request->hasFocus())
        web->setFocus(Qt::ShortcutFocusReason);
    else
        request->setFocus(Qt::ShortcutFocusReason);
}

QWidget *PlanEditorView::buildHeader()
{
    auto *header = new QWidget(this);
    header->setObjectName(u"editorHeader"_s);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(10);

    auto *names = new QVBoxLayout;
    names->setSpacing(2);
    // A long title ends in "…"; a folder's path is told apart by its start
    // and its end, so it is cut in the middle.
    m_title = new ElidedLine(Qt::ElideRight, header);
    m_title->setObjectName(u"planTitle"_s);
    ViewStyle::font(m_title, ViewStyle::Font::headline, true);
    names->addWidget(m_title);
    auto *path = new ElidedLine(Qt::ElideMiddle, header);
    path->setObjectName(u"planPath"_s);
    ViewStyle::font(path, ViewStyle::Font::caption);
    ViewStyle::tone(path, ViewStyle::Tone::secondary);
    m_path = path;
    names->addWidget(m_path);
    row->addLayout(names, 1);

    row->addWidget(new ZoomControl(WebZoom::shared(), header));

    auto *exportButton = new QPushButton(u"내보내기"_s, header);
    exportButton->setObjectName(u"exportButton"_s);
    exportButton->setToolTip(u"공유용 HTML 한 파일로 저장해요(그림·계획서 데이터 포함)"_s);
    connect(exportButton, &QPushButton::clicked, m_state, [this] { m_state->exportHTML(); });
    row->addWidget(exportButton);

    auto *browserButton = new QPushButton(u"브라우저로 열기"_s, header);
    browserButton->setObjectName(u"browserButton"_s);
    connect(browserButton, &QPushButton::clicked, m_state, &AppState::openInBrowser);
    row->addWidget(browserButton);

    m_develop = new QPushButton(header);
    m_develop->setObjectName(u"developButton"_s);
    m_develop->setProperty("prominent", true);
    connect(m_develop, &QPushButton::clicked, this, &PlanEditorView::developRequested);
    row->addWidget(m_develop);
    return header;
}

QString PlanEditorView::developHelp(qsizetype openDecisions)
{
    if (openDecisions == 0)
        return u"이 계획서로 Android·iOS 코드를 쓰기 시작해요"_s;
    return u"결정 필요가 "_s + QString::number(openDecisions) + u"건 남아 있어요. 모두 정하면 켜져요."_s;
}

void PlanEditorView::refresh()
{
    refreshHeader();
    refreshContent();
}

void PlanEditorView::refreshHeader()
{
    const Plan &plan = m_state->plan();
    static_cast<ElidedLine *>(m_title)->setFullText(plan.meta.title.isEmpty() ? plan.meta.feature : plan.meta.title);
    static_cast<ElidedLine *>(m_path)->setFullText(m_state->planDir().value_or(QString()));

    const bool running = Developer::shared().isRunning();
    const qsizetype open = plan.openDecisions().size();
    m_develop->setText(running ? u"개발 중…"_s : u"개발하기"_s);
    m_develop->setProperty("symbol", running ? u"hourglass"_s : u"hammer.fill"_s);
    m_develop->setIcon(ViewStyle::symbol(running ? u"hourglass"_s : u"hammer.fill"_s, palette().color(QPalette::ButtonText)));
    const bool blocked = open > 0 || Generator::shared().phase().isRunning() || Reviser::shared().phase().isRunning();
    // The sheet works on a plan folder: without one the button would do nothing.
    m_develop->setEnabled(m_state->planDir() && (running || !blocked));
    m_develop->setToolTip(developHelp(open));
}

void PlanEditorView::refreshContent()
{
    const std::optional<QString> planDir = standard(m_state->planDir());
    const Generator &generator = Generator::shared();
    if (generator.phase().isRunning() && standard(generator.runningDir()) == planDir) {
        if (!m_runLog) {
            m_runLog = ViewFactory::runLog(m_state, m_content);
            m_content->addWidget(m_runLog);
        }
        m_content->setCurrentWidget(m_runLog);
        return;
    }
    if (m_runLog) {
        m_runLog->deleteLater();
        m_runLog = nullptr;
    }
    if (!planDir) {
        m_content->setCurrentWidget(m_empty);
        return;
    }
    const QString dir = QDir::cleanPath(*planDir);
    if (!m_split) {
        m_split = new QSplitter(Qt::Horizontal, m_content);
        m_split->setObjectName(u"editorSplit"_s);
        m_split->setChildrenCollapsible(false);
        m_web = WebViewShelf::take(m_split);
        // The view outlives this editor and serves its successors: only the
        // editor that has it passes its links on.
        connect(m_web, &PlanWebView::addressFollowed, this, [this](const QUrl &url) {
            if (webView())
                m_state->openAddress(url);
        });
        connect(m_web, &PlanWebView::renderRequested, this, [this] {
            if (webView())
                m_state->renderPage(webView()->dir());
        });
        // At the window's smallest the page gives way: the panel keeps its
        // width. The sidebar, the page at its least and the panel fit a
        // screen of 800 points (a laptop at 200 %).
        m_web->setMinimumWidth(240);
        m_panel = new RevisePanel(m_state, dir, [this] { reload(); }, m_split);
        m_panel->setMinimumWidth(300);
        m_panel->setMaximumWidth(460);
        m_split->addWidget(m_web);
        m_split->addWidget(m_panel);
        m_web->show();
        m_split->setStretchFactor(0, 1);
        m_split->setStretchFactor(1, 0);
        m_split->setSizes({100000, 340});
        m_content->addWidget(m_split);
    }
    m_panel->setDir(dir);
    // An editor on its way out has handed the view to its successor.
    if (PlanWebView *web = webView())
        web->bringUpToDate(dir + u"/index.html"_s, dir, m_reloadToken);
    m_content->setCurrentWidget(m_split);
}

PlanEditorView::~PlanEditorView()
{
    if (PlanWebView *web = webView())
        WebViewShelf::giveBack(web);
}

PlanWebView *PlanEditorView::webView() const
{
    return m_web && m_web->parentWidget() == m_split ? m_web.data() : nullptr;
}

void PlanEditorView::reload()
{
    m_state->loadSelection();
    m_state->refresh();
    reloadPage();
}

void PlanEditorView::reloadPage()
{
    ++m_reloadToken;
    // Changes that come before the next update give one reload.
    QMetaObject::invokeMethod(this, &PlanEditorView::refreshContent, Qt::QueuedConnection);
}

void PlanEditorView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (qEnvironmentVariable("QUARRYSTONE_DEVELOP") == u"1"_s)
        Q_EMIT developRequested();
}

DevelopSheet *PlanEditorView::developSheet() const
{
    return m_sheet;
}

// The sheet needs a plan folder; without one there is nothing to develop.
void PlanEditorView::openDevelop()
{
    const std::optional<QString> planDir = m_state->planDir();
    if (!planDir)
        return;
    if (m_sheet) {
        m_sheet->raise();
        return;
    }
    m_sheet = new DevelopSheet(m_state, *planDir, this);
    m_sheet->open();
}
