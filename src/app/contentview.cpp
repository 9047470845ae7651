#include "app/contentview.h"

#include "app/appstate.h"
#include "app/snapshot.h"
#include "app/toast.h"
#include "app/viewfactory.h"
#include "model/generator.h"
#include "views/fileworkrow.h"

#include <QApplication>
#include <QDialog>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int sidebarMinimum = 220;
constexpr int sidebarStart = 250;
constexpr int floatingPadding = 22;
constexpr int workGap = 12;

bool carriesLocalFiles(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return false;
    const QList<QUrl> urls = mime->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl &url) { return url.isLocalFile(); });
}

bool takesFilesItself(QWidget *widget)
{
    for (; widget; widget = widget->parentWidget())
        if (widget->property("takesFileDrops").toBool())
            return true;
    return false;
}

std::optional<QString> firstPage(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls)
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).suffix().toLower() == u"html"_s)
            return url.toLocalFile();
    return std::nullopt;
}

} // namespace

ContentView::ContentView(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    setObjectName(u"contentView"_s);
    setAcceptDrops(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter);

    QWidget *sidebar = ViewFactory::sidebar(state, m_splitter);
    sidebar->setMinimumWidth(sidebarMinimum);
    m_splitter->addWidget(sidebar);
    m_slot = new QWidget(m_splitter);
    m_slot->setObjectName(u"detailSlot"_s);
    auto *slotLayout = new QVBoxLayout(m_slot);
    slotLayout->setContentsMargins(0, 0, 0, 0);
    m_splitter->addWidget(m_slot);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({sidebarStart, 100000});

    m_toast = new Toast(state, this);
    m_work = new FileWorkRow(state, this);
    m_work->setAttribute(Qt::WA_StyledBackground);
    m_work->setStyleSheet(u"#fileWorkRow { background: palette(window); border: 1px solid palette(mid);"
                          u" border-radius: 8px; }"_s);
    connect(state, &AppState::tasksChanged, this, &ContentView::placeOverlays);
    m_floating = ViewFactory::floatingNewButton(state, this);

    for (auto signal : {&AppState::selectionChanged, &AppState::planDirChanged, &AppState::newPlanTokenChanged,
                        &AppState::loadingChanged})
        connect(state, signal, this, &ContentView::noteChange);
    connect(state, &AppState::cancelGeneratingChanged, this, &ContentView::followCancelRequest);
    connect(state, &AppState::showSetupChanged, this, &ContentView::followSetup);
    // The question closes by itself when the run ends while it is open.
    connect(&Generator::shared(), &Generator::phaseChanged, this, [this] {
        if (m_state && m_state->cancelGenerating() && !Generator::shared().phase().isRunning())
            m_state->setCancelGenerating(false);
    });
    qApp->installEventFilter(this);

    rebuildDetail();
    followCancelRequest();
}

ContentView::~ContentView() = default;

ContentView::Key ContentView::wanted() const
{
    const std::optional<Selection> &selection = m_state->selection();
    if (!selection || selection->kind == Selection::Kind::newPlan)
        return {Key::Kind::form, m_state->newPlanToken(), {}};
    if (selection->kind == Selection::Kind::generating)
        return {Key::Kind::runLog, 0, {}};
    if (!m_state->planDir())
        return {Key::Kind::placeholder, 0, {}};
    return {Key::Kind::editor, 0, *m_state->planDir()};
}

// Views rebuild once on the next turn of the event loop, so that a run of
// changes (none, then a plan; a new token, then the selection) gives one
// detail. Passing through another detail still counts as a change, so that
// a plan selected again through none is built afresh.
void ContentView::noteChange()
{
    if (!m_state)
        return;
    if (wanted() != m_built)
        m_passedOther = true;
    if (m_dirty)
        return;
    m_dirty = true;
    QTimer::singleShot(0, this, &ContentView::rebuildDetail);
}

void ContentView::rebuildDetail()
{
    m_dirty = false;
    // What is shown stays until the selected plan has loaded beside the
    // event loop; the end of the load asks again.
    if (m_detail && m_state->loading())
        return;
    const Key key = wanted();
    const bool changed = std::exchange(m_passedOther, false) || key != m_built;
    if (m_detail && !changed)
        return;
    if (m_detail) {
        m_detail->hide();
        m_detail->deleteLater();
    }
    AppState *state = m_state;
    switch (key.kind) {
    case Key::Kind::form:
        m_detail = ViewFactory::newPlanView(state, m_slot);
        break;
    case Key::Kind::runLog:
        m_detail = ViewFactory::runLog(state, m_slot);
        break;
    case Key::Kind::editor:
        m_detail = ViewFactory::planEditorView(state, m_slot);
        break;
    case Key::Kind::placeholder:
    case Key::Kind::none: {
        auto *label = new QLabel(u"계획서를 고르세요"_s, m_slot);
        label->setObjectName(u"choosePlan"_s);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignCenter);
        label->setProperty("tone", u"secondary"_s);
        label->setForegroundRole(QPalette::PlaceholderText);
        m_detail = label;
        break;
    }
    }
    m_built = key;
    m_slot->layout()->addWidget(m_detail);
    m_detail->show();
    placeOverlays();
    Q_EMIT detailBuilt(m_detail);
}

void ContentView::placeOverlays()
{
    m_toast->place();
    const QSize size = m_floating->sizeHint().expandedTo(QSize(0, 0));
    m_floating->resize(size);
    m_floating->move(width() - size.width() - floatingPadding, height() - size.height() - floatingPadding);
    m_floating->raise();
    // The file work under way shows at the top centre, clear of the toast.
    m_work->adjustSize();
    m_work->move((width() - m_work->width()) / 2, workGap);
    m_work->raise();
    m_toast->raise();
}

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeOverlays();
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    placeOverlays();
    if (std::exchange(m_firstShown, true))
        return;
    AppStateHolder::setState(m_state);
    if (m_state)
        m_state->setWindow(window());
    followSetup();
    Snapshot::ifRequested();
}

bool ContentView::dropURLs(const QList<QUrl> &urls)
{
    const std::optional<QString> page = firstPage(urls);
    if (!page || !m_state)
        return false;
    m_state->importHTML(*page);
    return true;
}

bool ContentView::eventFilter(QObject *watched, QEvent *event)
{
    // The floating button asks its parent for room when its size hint
    // changes; it is placed by hand, not by the layout.
    if ((watched == m_floating || watched == this) &&
        (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Show)) {
        QTimer::singleShot(0, this, &ContentView::placeOverlays);
        return false;
    }
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != window())
        return false;
    auto *drop = static_cast<QDropEvent *>(event);
    if (!carriesLocalFiles(drop->mimeData()) || takesFilesItself(widget))
        return false;
    const QList<QUrl> urls = drop->mimeData()->urls();
    if (type != QEvent::Drop) {
        // A drag without a page is refused here, before a text field
        // could offer to take it.
        if (firstPage(urls))
            drop->acceptProposedAction();
        else
            drop->ignore();
        return true;
    }
    if (dropURLs(urls))
        drop->acceptProposedAction();
    else
        drop->ignore();
    return true;
}

void ContentView::followCancelRequest()
{
    if (!m_state)
        return;
    if (!m_state->cancelGenerating()) {
        closeCancelDialog();
        return;
    }
    // There is nothing to stop once the run has ended.
    if (!Generator::shared().phase().isRunning()) {
        m_state->setCancelGenerating(false);
        return;
    }
    if (m_cancelDialog)
        return;
    auto *dialog = new QMessageBox(this);
    dialog->setObjectName(u"cancelGenerationDialog"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setTextFormat(Qt::PlainText);
    dialog->setIcon(QMessageBox::Warning);
    dialog->setText(u"계획서 만들기를 취소할까요?"_s);
    dialog->setInformativeText(u"지금까지 쓴 Claude 사용량은 돌아오지 않아요."_s);
    QPushButton *keep = dialog->addButton(u"취소하고 남겨 두기 (나중에 이어서 만들기)"_s, QMessageBox::AcceptRole);
    QPushButton *remove = dialog->addButton(u"취소하고 지우기"_s, QMessageBox::DestructiveRole);
    QPushButton *goOn = dialog->addButton(u"계속 만들기"_s, QMessageBox::RejectRole);
    keep->setObjectName(u"keep"_s);
    remove->setObjectName(u"delete"_s);
    goOn->setObjectName(u"continue"_s);
    dialog->setDefaultButton(goOn);
    dialog->setEscapeButton(goOn);
    QPointer<AppState> state = m_state;
    connect(dialog, &QMessageBox::finished, this, [this, dialog, keep, remove, state] {
        QAbstractButton *clicked = dialog->clickedButton();
        if (m_cancelDialog == dialog)
            m_cancelDialog = nullptr;
        if (!state)
            return;
        state->setCancelGenerating(false);
        if (clicked == keep)
            state->cancelGeneration(true);
        else if (clicked == remove)
            state->cancelGeneration(false);
    });
    m_cancelDialog = dialog;
    dialog->open();
}

void ContentView::closeCancelDialog()
{
    if (QMessageBox *dialog = m_cancelDialog) {
        m_cancelDialog = nullptr;
        // Closing as "계속 만들기": nothing is cancelled.
        dialog->disconnect(this);
        dialog->close();
    }
}

void ContentView::followSetup()
{
    if (!m_state || !m_firstShown)
        return;
    if (!m_state->showSetup()) {
        if (QDialog *sheet = m_setupSheet) {
            m_setupSheet = nullptr;
            sheet->disconnect(this);
            sheet->close();
            sheet->deleteLater();
        }
        return;
    }
    if (m_setupSheet)
        return;
    QDialog *sheet = ViewFactory::setupSheet(m_state, this);
    if (!sheet)
        return;
    sheet->setWindowModality(Qt::WindowModal);
    m_setupSheet = sheet;
    QPointer<AppState> state = m_state;
    connect(sheet, &QDialog::finished, this, [this, sheet, state] {
        if (m_setupSheet == sheet)
            m_setupSheet = nullptr;
        sheet->deleteLater();
        if (state)
            state->setShowSetup(false);
    });
    sheet->open();
}
