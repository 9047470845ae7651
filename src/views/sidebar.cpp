#include "views/sidebar.h"

#include "app/desktop.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "views/renamesheet.h"
#include "views/settingslink.h"
#include "views/sidebardelegate.h"
#include "views/sidebarmodel.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

using Kind = SidebarModel::Kind;

namespace {

// The desktop's file manager shows the folder, whichever one it is.
const QString revealText = QStringLiteral("파일 관리자에서 보기");

QString folderName(const QString &dir)
{
    return QFileInfo(QDir::cleanPath(dir)).fileName();
}

} // namespace

Sidebar::Sidebar(AppState *state, Generator &generator, QWidget *banner, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_generator(generator)
    , m_model(new SidebarModel(state, generator, this))
    , m_list(new QListView(this))
{
    setObjectName(QStringLiteral("sidebar"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_list->setObjectName(QStringLiteral("sidebarList"));
    m_list->setModel(m_model);
    m_list->setItemDelegate(new SidebarDelegate(m_list));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(m_list, 1);

    auto *bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("bottomBar"));
    auto *barLayout = new QVBoxLayout(bar);
    barLayout->setContentsMargins(10, 10, 10, 10);
    barLayout->setSpacing(8);
    if (banner) {
        banner->setParent(bar);
        barLayout->addWidget(banner);
    }
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(SettingsLink::make(QStringLiteral("설정"), QStringLiteral("gearshape"), bar));
    buttons->addStretch(1);
    auto *refresh = new QToolButton(bar);
    refresh->setObjectName(QStringLiteral("refreshButton"));
    refresh->setAutoRaise(true);
    refresh->setProperty("symbol", QStringLiteral("arrow.clockwise"));
    refresh->setIcon(ViewStyle::symbol(QStringLiteral("arrow.clockwise"),
                                       ViewStyle::color(ViewStyle::Tone::primary, palette())));
    refresh->setToolTip(QStringLiteral("목록 새로고침"));
    connect(refresh, &QToolButton::clicked, this, [this] {
        if (m_state)
            m_state->refresh();
    });
    buttons->addWidget(refresh);
    barLayout->addLayout(buttons);
    layout->addWidget(bar);

    m_list->viewport()->installEventFilter(this);
    m_list->installEventFilter(this);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &Sidebar::selectionMade);
    connect(m_list, &QListView::pressed, this, &Sidebar::pressed);
    connect(m_list, &QListView::customContextMenuRequested, this, &Sidebar::showMenu);
    connect(state, &AppState::plansChanged, this, &Sidebar::scheduleRebuild);
    connect(state, &AppState::unfinishedChanged, this, &Sidebar::scheduleRebuild);
    connect(state, &AppState::selectionChanged, this, &Sidebar::scheduleRebuild);
    connect(&generator, &Generator::runningDirChanged, this, &Sidebar::scheduleRebuild);
    connect(&generator, &Generator::phaseChanged, this, &Sidebar::scheduleRebuild);
    // A run that fails leaves the folder it made behind, unknown to the
    // library read before the run: read again once the run's writes are
    // over, the folder's row tells what a refresh or the next start tells.
    connect(&generator, &Generator::phaseChanged, this, [this] {
        if (m_generator.phase().kind != Generator::Phase::Kind::failed || !m_state)
            return;
        m_generator.afterWrites([state = QPointer<AppState>(m_state)] {
            if (state)
                state->refresh();
        });
    });
    connect(&generator, &Generator::runningTitleChanged, this, &Sidebar::scheduleRebuild);
    connect(&Reviser::shared(), &Reviser::phaseChanged, this, &Sidebar::scheduleRebuild);
    rebuildNow();
}

bool Sidebar::eventFilter(QObject *watched, QEvent *event)
{
    // A right click opens the row's menu only: the press that comes before
    // the menu must not select (and so open) the row.
    const QEvent::Type type = event->type();
    if (watched == m_list->viewport()
        && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick
            || type == QEvent::MouseButtonRelease)
        && static_cast<QMouseEvent *>(event)->button() == Qt::RightButton)
        return true;
    // The keyboard's menu keys open the current row's menu beside it.
    if (watched == m_list && type == QEvent::KeyPress) {
        const QKeyCombination keys = static_cast<QKeyEvent *>(event)->keyCombination();
        if (keys == QKeyCombination(Qt::ShiftModifier, Qt::Key_F10) || keys == QKeyCombination(Qt::Key_Menu)) {
            const QModelIndex current = m_list->currentIndex();
            if (current.isValid())
                showMenu(m_list->visualRect(current).bottomLeft());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Sidebar::scheduleRebuild()
{
    // Several fields change in one operation; the list is built once.
    if (std::exchange(m_rebuildDue, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_rebuildDue)
                rebuildNow();
        },
        Qt::QueuedConnection);
}

void Sidebar::rebuildNow()
{
    m_rebuildDue = false;
    m_mirroring = true;
    const bool changed = m_model->rebuild();
    m_mirroring = false;
    if (changed)
        placeButtons();
    else
        updateButtons();
    mirrorSelection();
}

void Sidebar::placeButtons()
{
    const bool running = m_generator.phase().isRunning();
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const SidebarModel::Row &r = m_model->row(row);
        const bool spins = r.kind == Kind::generating && r.symbol == QLatin1String("progress");
        const bool resumable = r.kind == Kind::unfinished;
        if (!spins && !resumable)
            continue;
        // The row draws its texts; the turning mark and the button are
        // widgets laid over it. Clicks beside them reach the list.
        auto *holder = new QWidget;
        auto *layout = new QHBoxLayout(holder);
        layout->setContentsMargins(SidebarDelegate::padX, 0, 8, 0);
        if (spins)
            layout->addWidget(ViewStyle::spinner(SidebarDelegate::symbolSize, holder), 0, Qt::AlignVCenter);
        layout->addStretch(1);
        if (resumable) {
            auto *resume = new QPushButton(QStringLiteral("이어서 만들기"), holder);
            resume->setObjectName(QStringLiteral("resumeButton"));
            resume->setAutoDefault(false);
            ViewStyle::font(resume, ViewStyle::Font::caption);
            resume->setEnabled(!running);
            const QString dir = r.url;
            connect(resume, &QPushButton::clicked, this, [this, dir] {
                if (m_state)
                    m_state->resume(dir);
            });
            layout->addWidget(resume, 0, Qt::AlignVCenter);
        }
        m_list->setIndexWidget(m_model->index(row), holder);
    }
}

void Sidebar::updateButtons()
{
    const bool running = m_generator.phase().isRunning();
    for (QPushButton *resume : m_list->viewport()->findChildren<QPushButton *>(QStringLiteral("resumeButton")))
        resume->setEnabled(!running);
}

void Sidebar::mirrorSelection()
{
    // Shows the state's selection without writing it back.
    m_mirroring = true;
    const int row = m_state ? m_model->rowOf(m_state->selection()) : -1;
    if (row < 0) {
        m_list->selectionModel()->clear();
    } else {
        const QModelIndex index = m_model->index(row);
        m_list->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    }
    m_mirroring = false;
}

void Sidebar::selectionMade()
{
    if (m_mirroring || !m_state)
        return;
    const QModelIndexList chosen = m_list->selectionModel()->selectedIndexes();
    const std::optional<Selection> tag =
        chosen.isEmpty() ? std::nullopt : m_model->row(chosen.first().row()).tag;
    // A click on the header or below the rows selects nothing: the list
    // goes on showing the state's selection.
    if (tag)
        m_state->setSelection(tag);
    else
        mirrorSelection();
}

void Sidebar::pressed(const QModelIndex &index)
{
    // The new-plan row acts on every click, also when it is selected
    // already and the selection does not change.
    if (!m_state || !(QGuiApplication::mouseButtons() & Qt::LeftButton))
        return;
    if (index.isValid() && m_model->row(index.row()).kind == Kind::newPlan)
        m_state->openNewPlan();
}

std::optional<PlanRef> Sidebar::planAt(int row) const
{
    if (!m_state || row < 0 || row >= m_model->rowCount())
        return std::nullopt;
    const QString url = m_model->row(row).url;
    for (const PlanRef &ref : m_state->plans())
        if (ref.url == url)
            return ref;
    return std::nullopt;
}

void Sidebar::renameShown()
{
    if (const std::optional<PlanRef> ref = m_state ? planAt(m_model->rowOf(m_state->selection())) : std::nullopt)
        rename(*ref);
}

void Sidebar::deleteShown()
{
    if (const std::optional<PlanRef> ref = m_state ? planAt(m_model->rowOf(m_state->selection())) : std::nullopt)
        confirmDelete(*ref);
}

QMenu *Sidebar::menuFor(int row)
{
    if (row < 0 || row >= m_model->rowCount() || !m_state)
        return nullptr;
    const SidebarModel::Row r = m_model->row(row);
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("sidebarMenu"));
    QPointer<AppState> state = m_state;
    switch (r.kind) {
    case Kind::generating:
        if (m_generator.phase().isRunning()) {
            QAction *cancel = menu->addAction(QStringLiteral("만들기 취소…"));
            cancel->setProperty("role", QStringLiteral("destructive"));
            connect(cancel, &QAction::triggered, this, [] {
                if (AppState *holder = AppStateHolder::state())
                    holder->setCancelGenerating(true);
            });
        }
        break;
    case Kind::unfinished: {
        const QString dir = r.url;
        connect(menu->addAction(revealText), &QAction::triggered, this, [state, dir] {
            if (state)
                state->reveal(dir);
        });
        QAction *trash = menu->addAction(QStringLiteral("휴지통으로"));
        trash->setProperty("role", QStringLiteral("destructive"));
        connect(trash, &QAction::triggered, this, [state, dir] {
            // No question and no message: the refresh shows what happened.
            if (state)
                state->trashUnfinished(dir);
        });
        break;
    }
    case Kind::plan: {
        const std::optional<PlanRef> ref = planAt(row);
        if (!ref)
            break;
        const PlanRef copy = *ref;
        connect(menu->addAction(QStringLiteral("이름 바꾸기…")), &QAction::triggered, this,
                [this, copy] { rename(copy); });
        connect(menu->addAction(QStringLiteral("내보내기…")), &QAction::triggered, this, [state, copy] {
            if (state)
                state->exportHTML(copy.url);
        });
        connect(menu->addAction(revealText), &QAction::triggered, this, [state, copy] {
            if (state)
                state->reveal(copy.url);
        });
        connect(menu->addAction(QStringLiteral("브라우저로 열기")), &QAction::triggered, this, [state, copy] {
            const QString page = QDir(copy.url).filePath(QStringLiteral("index.html"));
            if (state && QFileInfo(page).isFile())
                state->openAddress(QUrl::fromLocalFile(page));
        });
        menu->addSeparator();
        QAction *remove = menu->addAction(QStringLiteral("삭제…"));
        remove->setProperty("role", QStringLiteral("destructive"));
        connect(remove, &QAction::triggered, this, [this, copy] { confirmDelete(copy); });
        break;
    }
    default:
        break;
    }
    if (menu->isEmpty()) {
        delete menu;
        return nullptr;
    }
    return menu;
}

void Sidebar::showMenu(const QPoint &pos)
{
    const QModelIndex index = m_list->indexAt(pos);
    if (!index.isValid())
        return;
    QMenu *menu = menuFor(index.row());
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_list->viewport()->mapToGlobal(pos));
}

void Sidebar::rename(const PlanRef &ref)
{
    // One sheet per entry, holding the entry as it was when chosen.
    auto *sheet = new RenameSheet(m_state, ref, window());
    sheet->open();
}

void Sidebar::confirmDelete(const PlanRef &ref)
{
    if (m_deleteAlert)
        m_deleteAlert->close();
    auto *alert = new QMessageBox(window());
    alert->setObjectName(QStringLiteral("deleteAlert"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->setIcon(QMessageBox::Warning);
    alert->setTextFormat(Qt::PlainText);
    alert->setText(QStringLiteral("계획서를 삭제할까요?"));
    alert->setInformativeText(QStringLiteral("“") + ref.title + QStringLiteral("” (") + folderName(ref.url)
                              + QStringLiteral(") 폴더를 휴지통으로 옮겨요. 그림·기록·백업도 같이 옮겨지고, 휴지통에서 "
                                               "되살릴 수 있어요."));
    // Titles come from data: never rich text.
    if (auto *informative = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    QPushButton *trash = alert->addButton(QStringLiteral("휴지통으로 옮기기"), QMessageBox::DestructiveRole);
    QPushButton *cancel = alert->addButton(QStringLiteral("취소"), QMessageBox::RejectRole);
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    QPointer<AppState> state = m_state;
    const QString dir = ref.url;
    connect(trash, &QPushButton::clicked, this, [state, dir] {
        if (state)
            state->trash(dir);
    });
    m_deleteAlert = alert;
    alert->open();
}
