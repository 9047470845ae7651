#include "views/revisepanel.h"

#include "app/appstate.h"
#include "core/filesizes.h"
#include "core/ownthread.h"
#include "core/picturefile.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/developer.h"
#include "model/generator.h"
#include "views/decisionbridge.h"
#include "views/paneldesktop.h"
#include "views/pastedimages.h"
#include "views/revisedrafts.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QPointer>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int tileSize = 84;
constexpr int quoteLength = 120;

// The accent outline over the panel while a usable drag is over it.
class DropHighlight : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawRoundedRect(QRectF(rect()).adjusted(4, 4, -4, -4), 8, 8);
    }
};

QLabel *label(const QString &text, const QString &name, QWidget *parent)
{
    auto *made = new QLabel(text, parent);
    made->setObjectName(name);
    made->setTextFormat(Qt::PlainText);
    made->setWordWrap(true);
    // A word longer than the column (a path, an identifier in Claude's
    // answer) is cut inside its box instead of widening the whole column
    // past the panel's edge; the text stays whole for selecting.
    QSizePolicy policy = made->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Ignored);
    made->setSizePolicy(policy);
    return made;
}

// A symbol before a label, in one row.
QWidget *withSymbol(QLabel *text, const QString &symbol, ViewStyle::Tone tone, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto *icon = new QLabel(row);
    ViewStyle::symbol(icon, symbol, tone, 14);
    layout->addWidget(icon, 0, Qt::AlignTop);
    text->setParent(row);
    text->setProperty("symbol", symbol);
    layout->addWidget(text, 1);
    return row;
}

QString logPath(const QString &dir)
{
    return dir + u"/history/revisions.md"_s;
}

// Tool tips take rich text when it looks like markup; a file name never does.
QString plainTip(const QString &text)
{
    return u"<p style=\"white-space:pre\">"_s + text.toHtmlEscaped() + u"</p>"_s;
}

// A plan as the library lists it: by its title, or by its folder's name
// while the library has not read it.
QString libraryTitle(const AppState &state, const QString &dir)
{
    const QString url = AppState::standardFolder(dir);
    const QList<PlanRef> &plans = state.plans();
    const auto ref = std::find_if(plans.begin(), plans.end(), [&](const PlanRef &plan) { return plan.url == url; });
    return ref != plans.end() ? ref->title : QFileInfo(QDir::cleanPath(dir)).fileName();
}

bool usable(const QMimeData *data)
{
    return data && (data->hasUrls() || data->hasImage());
}

} // namespace

RevisePanel::RevisePanel(AppState *state, const QString &dir, std::function<void()> changed, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_dir(QDir::cleanPath(dir))
    , m_changed(std::move(changed))
    , m_lastPhase(shownPhase())
{
    setObjectName(u"revisePanel"_s);
    setAcceptDrops(true);
    build();

    Reviser &reviser = Reviser::shared();
    connect(&reviser, &Reviser::phaseChanged, this, &RevisePanel::followPhase);
    connect(&reviser, &Reviser::startedAtChanged, this, &RevisePanel::showRunningTime);
    connect(&Generator::shared(), &Generator::phaseChanged, this, &RevisePanel::updateEnabled);
    connect(&Developer::shared(), &Developer::runsChanged, this, &RevisePanel::updateEnabled);
    // The note on another plan's revision names it as the library does.
    connect(state, &AppState::plansChanged, this, &RevisePanel::updateEnabled);
    // Another program changed the plan: a failure told before, such as the
    // refusal while that program held the folder, is over, and a result
    // told before speaks of a plan that is no longer there.
    connect(state, &AppState::planReplaced, this, [this] {
        const Reviser::Phase::Kind shown = shownPhase().kind;
        if (shown == Reviser::Phase::Kind::failed || shown == Reviser::Phase::Kind::done) {
            m_dismissed = shownPhase();
            m_lastPhase = shownPhase();
            showStatus();
        }
    });
    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &RevisePanel::tick);
    m_timer->start();

    showDraft();
    showStatus();
    refreshLog(true);
    refreshUndo(true);
    panels().append(this);
}

RevisePanel::~RevisePanel()
{
    panels().removeOne(this);
    if (m_monitoring)
        qApp->removeEventFilter(this);
}

QList<RevisePanel *> &RevisePanel::panels()
{
    static QList<RevisePanel *> living;
    return living;
}

void RevisePanel::build()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Its parts are the Tab stops; the area itself would be one that shows
    // nothing where it is.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    outer->addWidget(m_scroll);

    auto *column = new QWidget(m_scroll);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);

    QLabel *heading = label(u"계획서 고치기"_s, u"heading"_s, column);
    ViewStyle::font(heading, ViewStyle::Font::title3, true);
    layout->addWidget(heading);

    QLabel *explanation = label(u"고칠 내용을 말로 쓰면 Claude 가 계획서를 고치고 다시 그려요. 이어진 곳(이동·규칙·결정·모델)도 같이 맞춰요."_s,
                                u"explanation"_s, column);
    ViewStyle::font(explanation, ViewStyle::Font::callout);
    ViewStyle::tone(explanation, ViewStyle::Tone::secondary);
    layout->addWidget(explanation);

    m_requestEdit = new QPlainTextEdit(column);
    m_requestEdit->setObjectName(u"request"_s);
    m_requestEdit->setMinimumHeight(120);
    // Tab walks on to the pictures and the buttons; a tab character in a
    // request would only reach Claude and the revision log unseen.
    m_requestEdit->setTabChangesFocus(true);
    ViewStyle::font(m_requestEdit, ViewStyle::Font::body);
    m_requestEdit->viewport()->installEventFilter(this);
    connect(m_requestEdit, &QPlainTextEdit::textChanged, this, [this] {
        if (m_syncing)
            return;
        ReviseDrafts::of(m_dir).request = m_requestEdit->toPlainText();
        updateEnabled();
    });
    m_requestEdit->installEventFilter(this);
    layout->addWidget(m_requestEdit);

    QLabel *example = label(u"예: “구간 편집은 30초 넘을 때만 보여 줘” · “D3 은 구간 편집으로 보냄으로 결정” · “이 API 문서 반영해 줘 "
                            u"https://wiki.quarrystone.dev/x/Ab3Q”"_s,
                            u"example"_s, column);
    ViewStyle::font(example, ViewStyle::Font::caption);
    ViewStyle::tone(example, ViewStyle::Tone::secondary);
    layout->addWidget(example);

    layout->addWidget(buildAttachments());

    auto *actions = new QWidget(column);
    auto *actionRow = new QHBoxLayout(actions);
    actionRow->setContentsMargins(0, 0, 0, 0);
    m_spinner = ViewStyle::spinner(16, actions);
    m_stop = new QPushButton(u"멈추기"_s, actions);
    m_stop->setObjectName(u"stop"_s);
    connect(m_stop, &QPushButton::clicked, this, [] { Reviser::shared().cancel(); });
    m_revise = new QPushButton(u"고치기"_s, actions);
    m_revise->setObjectName(u"revise"_s);
    m_revise->setProperty("prominent", true);
    m_revise->setDefault(true);
    connect(m_revise, &QPushButton::clicked, this, &RevisePanel::revise);
    // Anywhere in the editor's window, while the button can be pressed.
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
        auto *shortcut = new QShortcut(QKeySequence(keys), m_revise, nullptr, nullptr, Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_revise->isVisible() && m_revise->isEnabled())
                revise();
        });
    }
    m_undo = new QPushButton(u"직전 고치기 취소"_s, actions);
    m_undo->setObjectName(u"undo"_s);
    m_undo->setToolTip(u"바로 전에 고친 것(또는 가져온 것)을 취소하고 그 전 계획서로 돌려요"_s);
    connect(m_undo, &QPushButton::clicked, this, &RevisePanel::askUndo);
    actionRow->addWidget(m_spinner);
    actionRow->addWidget(m_stop);
    actionRow->addWidget(m_revise);
    actionRow->addWidget(m_undo);
    actionRow->addStretch(1);
    layout->addWidget(actions);
    // Why "고치기" is greyed while another plan is revised.
    m_otherBusy = label(QString(), u"otherPlanBusy"_s, column);
    m_otherBusy->setWordWrap(true);
    ViewStyle::font(m_otherBusy, ViewStyle::Font::caption);
    ViewStyle::tone(m_otherBusy, ViewStyle::Tone::secondary);
    m_otherBusy->hide();
    layout->addWidget(m_otherBusy);

    layout->addWidget(buildStatus());
    layout->addWidget(buildLog());
    layout->addStretch(1);
    m_scroll->setWidget(column);

    m_highlight = new DropHighlight(this);
    m_highlight->setObjectName(u"dropHighlight"_s);
    m_highlight->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_highlight->hide();
}

QWidget *RevisePanel::buildAttachments()
{
    auto *section = new QWidget;
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    m_strip = new QScrollArea(section);
    m_strip->setObjectName(u"attachmentStrip"_s);
    m_strip->setFixedHeight(90 + 14);
    m_strip->setFrameShape(QFrame::NoFrame);
    m_strip->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_strip->setFocusPolicy(Qt::NoFocus);
    m_strip->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_strip->setWidgetResizable(true);
    m_tiles = new QWidget(m_strip);
    auto *tileRow = new QHBoxLayout(m_tiles);
    tileRow->setContentsMargins(0, 3, 0, 3);
    tileRow->setSpacing(8);
    m_strip->setWidget(m_tiles);
    layout->addWidget(m_strip);

    m_attachButtons = new QWidget(section);
    auto *buttons = new QHBoxLayout(m_attachButtons);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    auto *add = new QPushButton(u"이미지 추가"_s, m_attachButtons);
    add->setObjectName(u"addImages"_s);
    add->setProperty("symbol", u"photo.badge.plus"_s);
    add->setIcon(ViewStyle::symbol(u"photo.badge.plus"_s, palette().color(QPalette::ButtonText)));
    connect(add, &QPushButton::clicked, this, &RevisePanel::pickImages);
    auto *paste = new QPushButton(u"캡처 붙여넣기"_s, m_attachButtons);
    paste->setObjectName(u"pasteCapture"_s);
    paste->setProperty("symbol", u"doc.on.clipboard"_s);
    paste->setIcon(ViewStyle::symbol(u"doc.on.clipboard"_s, palette().color(QPalette::ButtonText)));
    paste->setToolTip(u"클립보드의 이미지를 붙여요(Shift+Ctrl+PrtSc 로 캡처한 뒤 Ctrl+V 도 돼요)"_s);
    connect(paste, &QPushButton::clicked, this, [this] { pasteImage(); });
    for (QPushButton *button : {add, paste})
        ViewStyle::font(button, ViewStyle::Font::callout);
    buttons->addWidget(add);
    buttons->addWidget(paste);
    buttons->addStretch(1);
    layout->addWidget(m_attachButtons);

    QLabel *hint = label(u"화면 캡처를 붙이면 Claude 가 보고 고쳐요. 칸에 끌어다 놓아도 돼요."_s, u"attachHint"_s, section);
    ViewStyle::font(hint, ViewStyle::Font::caption);
    ViewStyle::tone(hint, ViewStyle::Tone::secondary);
    layout->addWidget(hint);
    return section;
}

QWidget *RevisePanel::buildStatus()
{
    auto *status = new QWidget;
    status->setObjectName(u"status"_s);
    auto *layout = new QVBoxLayout(status);
    layout->setContentsMargins(0, 0, 0, 0);

    m_running = label(QString(), u"statusRunning"_s, status);
    ViewStyle::font(m_running, ViewStyle::Font::callout);
    ViewStyle::tone(m_running, ViewStyle::Tone::secondary);
    layout->addWidget(withSymbol(m_running, u"hourglass"_s, ViewStyle::Tone::secondary, status));

    m_doneBox = new QFrame(status);
    m_doneBox->setObjectName(u"statusDone"_s);
    m_doneBox->setStyleSheet(u"#statusDone { background: rgba(52, 199, 89, 0.08); border-radius: 8px; }"_s);
    auto *box = new QVBoxLayout(m_doneBox);
    box->setContentsMargins(10, 10, 10, 10);
    box->setSpacing(4);
    m_doneHeading = label(QString(), u"statusDoneHeading"_s, m_doneBox);
    box->addWidget(withSymbol(m_doneHeading, u"checkmark.circle.fill"_s, ViewStyle::Tone::green, m_doneBox));
    m_answer = label(QString(), u"statusAnswer"_s, m_doneBox);
    ViewStyle::font(m_answer, ViewStyle::Font::callout);
    m_answer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->addWidget(m_answer);
    layout->addWidget(m_doneBox);

    m_failed = label(QString(), u"statusFailed"_s, status);
    ViewStyle::font(m_failed, ViewStyle::Font::callout);
    ViewStyle::tone(m_failed, ViewStyle::Tone::orange);
    layout->addWidget(withSymbol(m_failed, u"exclamationmark.triangle.fill"_s, ViewStyle::Tone::orange, status));
    return status;
}

QWidget *RevisePanel::buildLog()
{
    m_log = new QWidget;
    m_log->setObjectName(u"revisionLog"_s);
    auto *layout = new QVBoxLayout(m_log);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_logToggle = new QToolButton(m_log);
    m_logToggle->setObjectName(u"logToggle"_s);
    m_logToggle->setText(u"고친 기록"_s);
    m_logToggle->setCheckable(true);
    m_logToggle->setAutoRaise(true);
    m_logToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_logToggle->setArrowType(Qt::RightArrow);
    layout->addWidget(m_logToggle);
    m_logText = label(QString(), u"logText"_s, m_log);
    m_logText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_logText->setContentsMargins(0, 4, 0, 0);
    ViewStyle::font(m_logText, ViewStyle::Font::caption);
    m_logText->hide();
    layout->addWidget(m_logText);
    connect(m_logToggle, &QToolButton::toggled, this, [this](bool open) {
        m_logToggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        m_logText->setVisible(open);
    });
    m_log->hide();
    return m_log;
}

void RevisePanel::setDir(const QString &dir)
{
    const QString cleaned = QDir::cleanPath(dir);
    if (cleaned == m_dir)
        return;
    m_dir = cleaned;
    m_lastPhase = shownPhase();
    showStatus();
    showDraft();
    refreshLog(true);
    refreshUndo(true);
}

QString RevisePanel::request() const
{
    return ReviseDrafts::of(m_dir).request;
}

QStringList RevisePanel::images() const
{
    return ReviseDrafts::of(m_dir).images;
}

// The editor and the tiles show the folder's draft.
void RevisePanel::showDraft()
{
    const QString text = ReviseDrafts::of(m_dir).request;
    if (m_requestEdit->toPlainText() != text) {
        m_syncing = true;
        m_requestEdit->setPlainText(text);
        m_requestEdit->moveCursor(QTextCursor::End);
        m_syncing = false;
    }
    showTiles();
    updateEnabled();
}

void RevisePanel::showDecided()
{
    const QString text = ReviseDrafts::of(m_dir).request;
    const QString shown = m_requestEdit->toPlainText();
    if (shown != text) {
        // Only the part that differs is replaced, through a cursor, so the
        // edit is one undo step and the person's typing stays undoable.
        const qsizetype shortest = std::min(shown.size(), text.size());
        qsizetype start = 0;
        while (start < shortest && shown.at(start) == text.at(start))
            ++start;
        if (start > 0 && shown.at(start - 1).isHighSurrogate())
            --start;
        qsizetype end = 0;
        while (end < shortest - start && shown.at(shown.size() - 1 - end) == text.at(text.size() - 1 - end))
            ++end;
        if (end > 0 && shown.at(shown.size() - end).isLowSurrogate())
            --end;
        QTextCursor cursor(m_requestEdit->document());
        cursor.setPosition(int(start));
        cursor.setPosition(int(shown.size() - end), QTextCursor::KeepAnchor);
        m_syncing = true;
        cursor.insertText(text.mid(start, text.size() - end - start));
        m_syncing = false;
    }
    updateEnabled();
}

QPixmap RevisePanel::thumbnail(const QString &path)
{
    const auto found = m_thumbnails.constFind(path);
    if (found != m_thumbnails.constEnd())
        return *found;
    const qreal ratio = devicePixelRatioF();
    const int side = qRound(tileSize * ratio);
    QPixmap tile(side, side);
    tile.fill(Qt::transparent);
    QPainter painter(&tile);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, side, side), 6 * ratio, 6 * ratio);
    painter.setClipPath(clip);
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull()) {
        painter.fillRect(tile.rect(), QColor(0x99, 0x99, 0x99));
    } else {
        const QImage filled = image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        painter.drawImage(QPoint(0, 0), filled, QRect((filled.width() - side) / 2, (filled.height() - side) / 2, side, side));
    }
    painter.setClipping(false);
    painter.setPen(QPen(QColor(0, 0, 0, 40), ratio));
    painter.drawPath(clip);
    painter.end();
    tile.setDevicePixelRatio(ratio);
    m_thumbnails.insert(path, tile);
    return tile;
}

void RevisePanel::showTiles()
{
    QLayout *row = m_tiles->layout();
    while (QLayoutItem *item = row->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QStringList images = ReviseDrafts::of(m_dir).images;
    for (const QString &path : images) {
        auto *tile = new QWidget(m_tiles);
        tile->setObjectName(u"tile"_s);
        tile->setProperty("path", path);
        tile->setFixedSize(tileSize, tileSize);
        auto *picture = new QLabel(tile);
        picture->setObjectName(u"tilePicture"_s);
        picture->setPixmap(thumbnail(path));
        picture->setGeometry(0, 0, tileSize, tileSize);
        picture->setToolTip(plainTip(QFileInfo(path).fileName()));
        auto *remove = new QToolButton(tile);
        remove->setObjectName(u"tileRemove"_s);
        remove->setProperty("symbol", u"xmark.circle.fill"_s);
        remove->setIcon(ViewStyle::symbol(u"xmark.circle.fill"_s, QColor(0, 0, 0, 153), 18));
        remove->setIconSize(QSize(18, 18));
        remove->setAutoRaise(true);
        remove->setStyleSheet(u"QToolButton { border: none; padding: 0; }"_s);
        remove->setFixedSize(18, 18);
        remove->move(tileSize - 18 - 3, 3);
        connect(remove, &QToolButton::clicked, this, [this, path] { this->remove(path); });
        row->addWidget(tile);
    }
    static_cast<QHBoxLayout *>(row)->addStretch(1);
    m_strip->setVisible(!images.isEmpty());
}

void RevisePanel::attach(const QStringList &paths, bool once)
{
    if (paths.isEmpty())
        return;
    QStringList &images = ReviseDrafts::of(m_dir).images;
    // What is no picture of a sane size is said at once: the revision would
    // leave it out.
    QStringList refused;
    for (const QString &path : paths) {
        QString reason;
        if (!PictureFile::open(path, &reason))
            refused.append(PictureFile::refusal(QFileInfo(path).fileName(), reason));
        else if (!once || !images.contains(path))
            images.append(path);
    }
    if (!refused.isEmpty())
        m_state->setMessage(refused.join(u'\n'));
    showTiles();
    updateEnabled();
}

void RevisePanel::remove(const QString &path)
{
    ReviseDrafts::of(m_dir).images.removeAll(path);
    showTiles();
    updateEnabled();
}

bool RevisePanel::pasteImage()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    const QStringList files = PastedImages::imageFiles(data);
    if (!files.isEmpty()) {
        // A paste is taken as given, even when the file is attached already.
        attach(files, false);
        return true;
    }
    if (data && data->hasImage())
        return addImage(qvariant_cast<QImage>(data->imageData()));
    return false;
}

bool RevisePanel::addImage(const QImage &image)
{
    const std::optional<QString> path = PastedImages::capture(image);
    if (!path)
        return false;
    attach({*path}, false);
    return true;
}

void RevisePanel::addDropped(const QMimeData *data)
{
    if (!data)
        return;
    // A picture dragged from a web page names it by a web address and also
    // carries its data: only local files are taken by their path.
    const QList<QUrl> urls = data->urls();
    if (std::any_of(urls.cbegin(), urls.cend(), [](const QUrl &url) { return url.isLocalFile(); })) {
        attach(PastedImages::imageFiles(data), true);
        return;
    }
    if (data->hasImage())
        addImage(qvariant_cast<QImage>(data->imageData()));
}

void RevisePanel::pickImages()
{
    const QStringList before = ReviseDrafts::of(m_dir).images;
    QPointer<RevisePanel> self = this;
    const QString dir = m_dir;
    PanelDesktop::current().chooseImages(window(), dir, [self, dir, before](const QStringList &chosen) {
        QStringList added;
        for (const QString &path : chosen) {
            if (!before.contains(path) && !added.contains(path))
                added.append(path);
        }
        if (self && self->m_dir == dir) {
            self->attach(added, false);
        } else {
            ReviseDrafts::of(dir).images.append(added);
        }
    });
}

std::shared_ptr<QMetaObject::Connection> RevisePanel::refreshWhenEnded(AppState *state, QPointer<RevisePanel> panel)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(&Reviser::shared(), &Reviser::phaseChanged, state, [state, panel, connection] {
        if (Reviser::shared().phase().isRunning())
            return;
        disconnect(*connection);
        if (!panel) {
            state->loadSelection();
            state->refresh();
        }
    });
    return connection;
}

void RevisePanel::revise()
{
    m_dismissed.reset();
    const ReviseDrafts::Draft draft = ReviseDrafts::of(m_dir);
    QPointer<RevisePanel> self = this;
    const QString dir = m_dir;
    const std::shared_ptr<QMetaObject::Connection> watch = refreshWhenEnded(m_state, self);
    const bool wasUndo = std::exchange(undoneLast(), false);
    const bool started = Reviser::shared().revise(draft.request, draft.images, dir, m_state->settings(), [self, dir] {
        ReviseDrafts::clear(dir);
        if (!self)
            return;
        if (self->m_dir == dir)
            self->showDraft();
        if (self->m_changed)
            self->m_changed();
    });
    if (!started) {
        undoneLast() = wasUndo;
        disconnect(*watch);
    }
}

void RevisePanel::askUndo()
{
    static const QString question = u"직전 고치기를 취소할까요?"_s;
    const QString last = Reviser::lastRequest(m_dir);
    // Decisions picked on the page read as the decisions, not as the lines
    // the page wrote for them.
    const QStringList picks = DecisionBridge::picks(last);
    const QString quoted = picks.isEmpty() ? last : picks.join(u", "_s);
    const QString message = quoted.isEmpty()
        ? u"바로 전에 고친 내용을 취소하고 그 전 계획서로 돌려요."_s
        : u"“"_s + Text::graphemePrefix(quoted, quoteLength) + u"” 로 고친 것을 취소하고 그 전 계획서로 돌려요."_s;
    // The question is the text: a window without a frame shows no title.
    auto *box = new QMessageBox(QMessageBox::Warning, question, question, QMessageBox::NoButton, window());
    box->setObjectName(u"confirmUndo"_s);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(message);
    QPushButton *confirm = box->addButton(u"취소하고 되돌리기"_s, QMessageBox::DestructiveRole);
    confirm->setObjectName(u"confirmUndoButton"_s);
    QPushButton *keep = box->addButton(u"그대로 두기"_s, QMessageBox::RejectRole);
    keep->setObjectName(u"keepButton"_s);
    box->setDefaultButton(keep);
    // The person's answer counts even when the panel has gone meanwhile.
    QPointer<RevisePanel> self = this;
    AppState *state = m_state;
    const QString dir = m_dir;
    connect(box, &QMessageBox::buttonClicked, box, [self, state, dir, confirm](QAbstractButton *clicked) {
        if (clicked != confirm)
            return;
        const std::shared_ptr<QMetaObject::Connection> watch = refreshWhenEnded(state, self);
        const bool wasUndo = std::exchange(undoneLast(), true);
        const bool started = Reviser::shared().undo(dir, state->settings(), [self] {
            if (self && self->m_changed)
                self->m_changed();
        });
        if (!started) {
            undoneLast() = wasUndo;
            disconnect(*watch);
        }
    });
    box->open();
}

bool &RevisePanel::undoneLast()
{
    static bool undone = false;
    return undone;
}

bool RevisePanel::mine() const
{
    const QString running = Reviser::shared().dir();
    return !running.isEmpty() && AppState::standardFolder(running) == AppState::standardFolder(m_dir);
}

Reviser::Phase RevisePanel::shownPhase() const
{
    const Reviser::Phase phase = mine() ? Reviser::shared().phase() : Reviser::Phase::idle();
    return phase == m_dismissed ? Reviser::Phase::idle() : phase;
}

void RevisePanel::followPhase()
{
    // Another plan's revision starting or ending changes what this one can start.
    updateEnabled();
    if (m_dismissed && Reviser::shared().phase() != *m_dismissed)
        m_dismissed.reset();
    const Reviser::Phase phase = shownPhase();
    if (phase == m_lastPhase)
        return;
    m_lastPhase = phase;
    showStatus();
    refreshLog(false);
    refreshUndo(false);
    // A failed or stopped revision put the backup back; the reload shows it.
    if (phase.kind == Reviser::Phase::Kind::failed && m_changed)
        m_changed();
}

void RevisePanel::tick()
{
    if (shownPhase().isRunning())
        showRunningTime();
    refreshLog(false);
    refreshUndo(false);
}

void RevisePanel::showStatus()
{
    const Reviser::Phase phase = shownPhase();
    using Kind = Reviser::Phase::Kind;
    m_running->parentWidget()->setVisible(phase.kind == Kind::running);
    m_doneBox->setVisible(phase.kind == Kind::done);
    m_failed->parentWidget()->setVisible(phase.kind == Kind::failed);
    if (phase.kind == Kind::running)
        showRunningTime();
    else if (phase.kind == Kind::done) {
        m_doneHeading->setText(undoneLast() ? u"되돌렸어요 — 왼쪽에 다시 그렸어요"_s : u"고쳤어요 — 왼쪽에 다시 그렸어요"_s);
        m_answer->setText(phase.text);
    }
    else if (phase.kind == Kind::failed)
        m_failed->setText(phase.text);
}

void RevisePanel::showRunningTime()
{
    const Reviser::Phase phase = shownPhase();
    if (!phase.isRunning())
        return;
    const std::optional<QDateTime> started = Reviser::shared().startedAt();
    const qint64 seconds = started ? std::max<qint64>(0, started->msecsTo(QDateTime::currentDateTimeUtc()) / 1000) : 0;
    const QString text = phase.text + u" · "_s + QString::number(seconds) + u"초"_s;
    if (m_running->text() != text)
        m_running->setText(text);
}

void RevisePanel::updateEnabled()
{
    const bool running = shownPhase().isRunning();
    m_requestEdit->setReadOnly(running);
    m_requestEdit->setEnabled(!running);
    m_attachButtons->setEnabled(!running);
    m_spinner->setVisible(running);
    m_stop->setVisible(running);
    m_revise->setVisible(!running);
    m_undo->setVisible(!running);
    const ReviseDrafts::Draft &draft = ReviseDrafts::of(m_dir);
    const bool nothing = draft.request.trimmed().isEmpty() && draft.images.isEmpty();
    // The reviser takes one plan at a time; another plan's revision keeps
    // this one's request open for typing, not for starting.
    const bool busy = Reviser::shared().phase().isRunning();
    // A development run holds its plan to its end: a revision meanwhile
    // would be refused.
    const Developer &developer = Developer::shared();
    const bool developing = developer.isRunning() && QDir::cleanPath(developer.planDir()) == QDir::cleanPath(m_dir);
    m_revise->setEnabled(!nothing && !busy && !developing && !Generator::shared().phase().isRunning());
    m_undo->setEnabled(m_canUndo && !busy && !developing);
    const bool another = busy && !running;
    if (another)
        m_otherBusy->setText(u"다른 계획서("_s + libraryTitle(*m_state, Reviser::shared().dir())
                             + u")를 고치는 중이에요. 끝나면 이 계획서도 고칠 수 있어요."_s);
    m_otherBusy->setVisible(another);
}

// The log and the history folder are looked at beside the event loop, once
// a second while the panel is shown: a read under way is not repeated, and a
// forced one (another folder) overtakes it.
void RevisePanel::refreshLog(bool force)
{
    if (m_logReading && !force)
        return;
    m_logReading = true;
    const quint64 run = ++m_logRun;
    struct LogRead {
        std::optional<std::pair<qint64, QDateTime>> seen;
        QString text;
    };
    const std::optional<std::optional<std::pair<qint64, QDateTime>>> known =
        force || !m_logSeenOnce ? std::nullopt : std::optional(m_logSeen);
    OwnThread::run(
        this,
        [path = logPath(m_dir), known]() -> std::optional<LogRead> {
            const QFileInfo info(path);
            LogRead read;
            if (info.exists())
                read.seen = std::make_pair(info.size(), info.lastModified());
            if (known && *known == read.seen)
                return std::nullopt;
            // A history/ that leads elsewhere holds no log of this plan's.
            if (read.seen && RegularFile::isOwnFolder(info.path()))
                if (const std::optional<QByteArray> bytes = RegularFile::read(path, FileSizes::log))
                    read.text = Text::decodeUtf8Strict(*bytes).value_or(QString());
            return read;
        },
        [this, run](const std::optional<LogRead> &read) {
            if (run != m_logRun)
                return;
            m_logReading = false;
            if (!read)
                return;
            m_logSeen = read->seen;
            m_logSeenOnce = true;
            m_logText->setText(read->text);
            m_log->setVisible(!read->text.isEmpty());
        });
}

void RevisePanel::refreshUndo(bool force)
{
    if (m_undoReading && !force)
        return;
    m_undoReading = true;
    const quint64 run = ++m_undoRun;
    struct HistoryRead {
        std::optional<QDateTime> seen;
        bool canUndo = false;
    };
    const std::optional<std::optional<QDateTime>> known =
        force || !m_historySeenOnce ? std::nullopt : std::optional(m_historySeen);
    OwnThread::run(
        this,
        [dir = m_dir, known]() -> std::optional<HistoryRead> {
            const QFileInfo history(dir + u"/history"_s);
            HistoryRead read;
            if (history.exists())
                read.seen = history.lastModified();
            if (known && *known == read.seen)
                return std::nullopt;
            read.canUndo = Reviser::lastBackup(dir).has_value();
            return read;
        },
        [this, run](const std::optional<HistoryRead> &read) {
            if (run != m_undoRun)
                return;
            m_undoReading = false;
            if (!read)
                return;
            m_historySeen = read->seen;
            m_historySeenOnce = true;
            m_canUndo = read->canUndo;
            updateEnabled();
        });
}

void RevisePanel::installDecisionHandler()
{
    DecisionBridge::shared()->setHandler([](const QString &dir, const QList<DecisionBridge::Decision> &decisions) {
        // Only the request of the plan under revision is locked.
        const Reviser &reviser = Reviser::shared();
        if (reviser.phase().isRunning() && AppState::standardFolder(reviser.dir()) == AppState::standardFolder(dir)) {
            PanelDesktop::current().beep();
            return;
        }
        ReviseDrafts::Draft &draft = ReviseDrafts::of(dir);
        draft.request = DecisionBridge::apply(draft.request, decisions);
        // Every panel of that folder shows the new request.
        const QString folder = AppState::standardFolder(dir);
        QList<QPointer<RevisePanel>> shown;
        for (RevisePanel *panel : std::as_const(panels()))
            if (AppState::standardFolder(panel->m_dir) == folder)
                shown.append(panel);
        for (const QPointer<RevisePanel> &panel : std::as_const(shown))
            if (panel)
                panel->showDecided();
    });
}

void RevisePanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_pill = window()->findChild<QWidget *>(u"floatingNewButton"_s);
    keepClearOfPill();
    installDecisionHandler();
    if (!m_monitoring) {
        qApp->installEventFilter(this);
        m_monitoring = true;
    }
    refreshLog(false);
    refreshUndo(false);
}

void RevisePanel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (m_monitoring) {
        qApp->removeEventFilter(this);
        m_monitoring = false;
    }
}

void RevisePanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_highlight->setGeometry(rect());
    keepClearOfPill();
}

// The window's floating pill stands over the panel's lower right corner:
// the panel's column ends above it, so that the pill covers none of its
// texts, however far the column is scrolled.
void RevisePanel::keepClearOfPill()
{
    int room = 0;
    if (m_pill && m_pill->isVisible()) {
        const QRect placed(mapFrom(window(), m_pill->mapTo(window(), QPoint(0, 0))), m_pill->size());
        if (placed.intersects(rect()))
            room = std::max(0, height() - placed.top());
    }
    QMargins margins = layout()->contentsMargins();
    if (margins.bottom() == room)
        return;
    margins.setBottom(room);
    layout()->setContentsMargins(margins);
}

// Ctrl+V (or Meta+V) alone, in this panel's window, while no revision runs.
bool RevisePanel::takesPaste(QObject *receiver, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_V)
        return false;
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (modifiers != Qt::ControlModifier && modifiers != Qt::MetaModifier)
        return false;
    auto *widget = qobject_cast<QWidget *>(receiver);
    if (!widget || widget->window() != window())
        return false;
    return !shownPhase().isRunning() && PastedImages::clipboardHasImage(QGuiApplication::clipboard()->mimeData())
        && pasteImage();
}

bool RevisePanel::eventFilter(QObject *watched, QEvent *event)
{
    // Ctrl+Return in the request does what "고치기" does, and nothing while it cannot.
    if (watched == m_requestEdit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
            if (m_revise->isVisible() && m_revise->isEnabled())
                revise();
            return true;
        }
    }
    if (watched == m_requestEdit->viewport()) {
        // Pictures dragged over the editor are the panel's; text stays the editor's.
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::DragLeave:
        case QEvent::Drop: {
            auto *drop = static_cast<QDropEvent *>(event);
            if (event->type() != QEvent::DragLeave && !usable(drop->mimeData()))
                break;
            if (event->type() == QEvent::DragEnter)
                dragEnterEvent(static_cast<QDragEnterEvent *>(event));
            else if (event->type() == QEvent::DragMove)
                dragMoveEvent(static_cast<QDragMoveEvent *>(event));
            else if (event->type() == QEvent::DragLeave)
                dragLeaveEvent(static_cast<QDragLeaveEvent *>(event));
            else
                dropEvent(drop);
            return true;
        }
        default:
            break;
        }
    }
    if (m_monitoring && takesPaste(watched, event))
        return true;
    if (watched == m_pill && (event->type() == QEvent::Move || event->type() == QEvent::Resize
                              || event->type() == QEvent::Show || event->type() == QEvent::Hide))
        keepClearOfPill();
    return QWidget::eventFilter(watched, event);
}

void RevisePanel::dragEnterEvent(QDragEnterEvent *event)
{
    if (!usable(event->mimeData()))
        return;
    event->acceptProposedAction();
    m_dropping = true;
    m_highlight->setGeometry(rect());
    m_highlight->raise();
    m_highlight->show();
}

void RevisePanel::dragMoveEvent(QDragMoveEvent *event)
{
    if (usable(event->mimeData()))
        event->acceptProposedAction();
}

void RevisePanel::dragLeaveEvent(QDragLeaveEvent *)
{
    m_dropping = false;
    m_highlight->hide();
}

void RevisePanel::dropEvent(QDropEvent *event)
{
    m_dropping = false;
    m_highlight->hide();
    event->acceptProposedAction();
    addDropped(event->mimeData());
}
