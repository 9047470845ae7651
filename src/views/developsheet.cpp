#include "views/developsheet.h"

#include "app/appstate.h"
#include "app/desktop.h"
#include "core/ownthread.h"
#include "settings/apppaths.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

using Phase = Developer::Run::Phase;

// The width left for a card's content: the sheet's 620 less its padding
// and the card's.
constexpr int cardContentWidth = 620 - 2 * 20 - 2 * 10;

QString trimSpacesAndTabs(const QString &text)
{
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QVBoxLayout *cardLayout(QFrame *frame)
{
    ViewStyle::card(frame);
    auto *layout = new QVBoxLayout(frame);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(6);
    return layout;
}

QLabel *secondary(QWidget *parent, ViewStyle::Font font)
{
    QLabel *label = ViewStyle::plainLabel(QString(), parent);
    ViewStyle::font(label, font);
    ViewStyle::tone(label, ViewStyle::Tone::secondary);
    return label;
}

} // namespace

DevelopSheet::DevelopSheet(AppState *state, const QString &planDir, QWidget *parent)
    : QDialog(parent)
    , m_state(state)
    , m_planDir(planDir)
    , m_now(QDateTime::currentDateTime())
    , m_faces(new QStackedWidget(this))
    , m_setupFace(new QWidget)
    , m_progressFace(new QWidget)
    , m_name(new QLineEdit)
    , m_cancel(new QPushButton(QStringLiteral("취소"), this))
    , m_start(new QPushButton(QStringLiteral("시작"), this))
    , m_stop(new QPushButton(QStringLiteral("멈추기"), this))
    , m_closeBehind(new QPushButton(QStringLiteral("닫기 (뒤에서 계속)"), this))
    , m_restart(new QPushButton(QStringLiteral("새로 시작"), this))
    , m_close(new QPushButton(QStringLiteral("닫기"), this))
    , m_tick(new QTimer(this))
{
    setObjectName(QStringLiteral("developSheet"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto *title = new QLabel(QStringLiteral("개발하기"), this);
    ViewStyle::font(title, ViewStyle::Font::sheetTitle, true);
    layout->addWidget(title);

    auto *setup = new QVBoxLayout(m_setupFace);
    setup->setContentsMargins(0, 0, 0, 0);
    setup->setSpacing(14);
    auto *note = new QLabel(QStringLiteral("고른 base 브랜치에서 작업 이름으로 새 브랜치를 따고, 저장소 옆 작업 폴더(git "
                                           "worktree)에서 Claude Code 가 계획서대로 코드를 써요. 지금 열어 둔 저장소 "
                                           "체크아웃은 건드리지 않고, 커밋·푸시는 하지 않아요."),
                            m_setupFace);
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    ViewStyle::font(note, ViewStyle::Font::callout);
    ViewStyle::tone(note, ViewStyle::Tone::secondary);
    setup->addWidget(note);
    for (Platform platform : Developer::platformKinds) {
        m_setup[index(platform)] = makeSetupCard(platform);
        setup->addWidget(m_setup[index(platform)].frame);
    }
    auto *nameBlock = new QVBoxLayout;
    nameBlock->setSpacing(4);
    auto *nameTitle = new QLabel(QStringLiteral("작업 이름 (새 브랜치)"), m_setupFace);
    ViewStyle::font(nameTitle, ViewStyle::Font::headline);
    nameBlock->addWidget(nameTitle);
    m_name->setParent(m_setupFace);
    m_name->setPlaceholderText(QStringLiteral("feat/harbor_clips"));
    ViewStyle::monospaced(m_name);
    nameBlock->addWidget(m_name);
    QLabel *nameNote = secondary(m_setupFace, ViewStyle::Font::caption);
    nameNote->setText(QStringLiteral("두 플랫폼 모두 이 이름으로 브랜치를 따요. 이미 있는 이름이면 시작하지 않아요(같은 "
                                     "작업 폴더가 있으면 이어서 써요)."));
    nameNote->setWordWrap(true);
    nameBlock->addWidget(nameNote);
    setup->addLayout(nameBlock);

    auto *progress = new QVBoxLayout(m_progressFace);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->setSpacing(14);
    for (Platform platform : Developer::platformKinds) {
        m_run[index(platform)] = makeRunCard(platform);
        progress->addWidget(m_run[index(platform)].frame);
    }

    m_faces->addWidget(m_setupFace);
    m_faces->addWidget(m_progressFace);
    // The faces fix the sheet's width; its height follows their content.
    m_faces->setFixedWidth(620 - 2 * 20);
    layout->addWidget(m_faces);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton *button : {m_cancel, m_start, m_stop, m_closeBehind, m_restart, m_close}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    m_stop->setProperty("role", QStringLiteral("destructive"));
    m_start->setProperty("prominent", true);
    layout->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_start, &QPushButton::clicked, this, &DevelopSheet::startRuns);
    connect(m_stop, &QPushButton::clicked, &Developer::shared(), &Developer::cancel);
    connect(m_closeBehind, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_restart, &QPushButton::clicked, this, [] { Developer::shared().setRuns({}); });
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_name, &QLineEdit::textEdited, this, &DevelopSheet::followSetup);
    connect(&Developer::shared(), &Developer::runsChanged, this, &DevelopSheet::followRuns);
    connect(m_state, &AppState::settingsChanged, this, &DevelopSheet::followSettings);
    m_tick->setInterval(1000);
    m_tick->setTimerType(Qt::CoarseTimer);
    connect(m_tick, &QTimer::timeout, this, [this] {
        m_now = QDateTime::currentDateTime();
        followClocks();
    });

    followSettings();
    followRuns();
}

QString DevelopSheet::displayName(Platform platform)
{
    return platform == Platform::android ? QStringLiteral("Android") : QStringLiteral("iOS");
}

DevelopSheet::SetupCard DevelopSheet::makeSetupCard(Platform platform)
{
    SetupCard card;
    card.frame = new QFrame(m_setupFace);
    QVBoxLayout *layout = cardLayout(card.frame);
    card.check = new QCheckBox(displayName(platform), card.frame);
    ViewStyle::font(card.check, ViewStyle::Font::headline);
    layout->addWidget(card.check);
    card.missing = ViewStyle::plainLabel(QStringLiteral("저장소가 없어요 — 설정에서 ") + displayName(platform)
                                             + QStringLiteral(" 저장소 위치를 정해 주세요"),
                                         card.frame);
    ViewStyle::font(card.missing, ViewStyle::Font::caption);
    ViewStyle::tone(card.missing, ViewStyle::Tone::orange);
    layout->addWidget(card.missing);

    card.branchRow = new QWidget(card.frame);
    auto *branchColumn = new QVBoxLayout(card.branchRow);
    branchColumn->setContentsMargins(0, 0, 0, 0);
    branchColumn->setSpacing(6);
    auto *picker = new QHBoxLayout;
    picker->addWidget(new QLabel(QStringLiteral("base 브랜치"), card.branchRow));
    card.branches = new QComboBox(card.branchRow);
    card.branches->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    card.branches->setMinimumContentsLength(24);
    picker->addWidget(card.branches, 1);
    branchColumn->addLayout(picker);
    card.preview = secondary(card.branchRow, ViewStyle::Font::caption);
    ViewStyle::monospaced(card.preview);
    branchColumn->addWidget(card.preview);
    layout->addWidget(card.branchRow);

    connect(card.check, &QCheckBox::toggled, this, [this, platform](bool on) {
        if (on)
            m_pick.insert(platform);
        else
            m_pick.remove(platform);
        followSetup();
    });
    connect(card.branches, &QComboBox::activated, this, [this, platform](int row) {
        m_base.insert(platform, m_setup[index(platform)].branches->itemText(row));
        followSetup();
    });
    return card;
}

DevelopSheet::RunCard DevelopSheet::makeRunCard(Platform platform)
{
    RunCard card;
    card.frame = new QFrame(m_progressFace);
    QVBoxLayout *layout = cardLayout(card.frame);

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    card.spinner = ViewStyle::spinner(16, card.frame);
    header->addWidget(card.spinner);
    card.mark = new QLabel(card.frame);
    header->addWidget(card.mark);
    card.title = ViewStyle::plainLabel(QString(), card.frame);
    ViewStyle::font(card.title, ViewStyle::Font::headline);
    header->addWidget(card.title);
    header->addStretch(1);
    card.clock = secondary(card.frame, ViewStyle::Font::caption);
    // A clock of fixed width: its ticking never moves the rest of the card.
    card.clock->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    card.clock->setFixedWidth(card.clock->fontMetrics().horizontalAdvance(QStringLiteral("0000분 00초")));
    header->addWidget(card.clock);
    layout->addLayout(header);

    card.detail = secondary(card.frame, ViewStyle::Font::callout);
    card.detail->setWordWrap(true);
    card.detail->setMaximumHeight(2 * card.detail->fontMetrics().lineSpacing() + 2);
    layout->addWidget(card.detail);

    card.summaryArea = new QScrollArea(card.frame);
    card.summaryArea->setWidgetResizable(true);
    card.summaryArea->setFrameShape(QFrame::NoFrame);
    card.summaryArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    card.summaryArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    card.summaryArea->setMaximumHeight(180);
    card.summary = ViewStyle::plainLabel(QString(), nullptr);
    ViewStyle::font(card.summary, ViewStyle::Font::callout);
    card.summary->setWordWrap(true);
    card.summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    card.summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    card.summaryArea->setWidget(card.summary);
    layout->addWidget(card.summaryArea);

    card.folderRow = new QWidget(card.frame);
    auto *folder = new QHBoxLayout(card.folderRow);
    folder->setContentsMargins(0, 0, 0, 0);
    card.openFolder = new QPushButton(QStringLiteral("작업 폴더 열기"), card.folderRow);
    card.openFolder->setAutoDefault(false);
    ViewStyle::font(card.openFolder, ViewStyle::Font::caption);
    folder->addWidget(card.openFolder);
    card.changed = secondary(card.folderRow, ViewStyle::Font::caption);
    folder->addWidget(card.changed);
    folder->addStretch(1);
    layout->addWidget(card.folderRow);

    connect(card.openFolder, &QPushButton::clicked, this, [this, platform] {
        const Developer::Runs runs = Developer::shared().runs();
        if (runs.contains(platform) && runs.value(platform).worktree)
            m_state->reveal(*runs.value(platform).worktree);
    });
    return card;
}

QString DevelopSheet::repo(Platform platform) const
{
    return platform == Platform::android ? m_state->settings().androidRepo : m_state->settings().iosRepo;
}

bool DevelopSheet::present(Platform platform) const
{
    return m_present.contains(platform);
}

QString DevelopSheet::name() const
{
    return m_name->text();
}

QString DevelopSheet::workName(const QString &feature)
{
    QString word;
    for (const QChar c : feature) {
        if (c.isUpper() && !word.isEmpty())
            word += QLatin1Char('_');
        word += c.toLower();
    }
    return QStringLiteral("feat/") + (word.isEmpty() ? QStringLiteral("cairn") : word);
}

QString DevelopSheet::elapsedText(const QDateTime &started, const QDateTime &end)
{
    // A clock set back while a run goes on shows zero, not a negative time.
    const qint64 seconds = std::max<qint64>(0, started.msecsTo(end) / 1000);
    return QString::number(seconds / 60) + QStringLiteral("분 ") + QString::number(seconds % 60) + QStringLiteral("초");
}

QString DevelopSheet::preview(Platform platform) const
{
    QString branch = trimSpacesAndTabs(m_name->text());
    if (branch.isEmpty())
        branch = QStringLiteral("…");
    return Developer::worktreePath(repo(platform), branch);
}

bool DevelopSheet::canStart() const
{
    if (m_pick.isEmpty() || trimSpacesAndTabs(m_name->text()).isEmpty())
        return false;
    for (Platform platform : m_pick)
        if (m_base.value(platform).isEmpty() || !present(platform))
            return false;
    return true;
}

void DevelopSheet::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        load();
}

void DevelopSheet::load()
{
    m_now = QDateTime::currentDateTime();
    m_name->clear();
    m_base.clear();
    m_lists.clear();
    for (Platform platform : Developer::platformKinds)
        m_listed[index(platform)] = repo(platform);
    followSettings();
    // Only platforms whose repository is there start chosen: a team with one
    // app repository must still be able to start.
    m_pick.clear();
    for (Platform platform : Developer::platformKinds)
        if (present(platform))
            m_pick.insert(platform);
    m_name->setText(workName(m_state->plan().meta.feature));
    for (Platform platform : Developer::platformKinds)
        listBranches(platform);
    followSetup();
    followRuns();
}

void DevelopSheet::listBranches(Platform platform)
{
    const quint64 serial = ++m_listing[index(platform)];
    if (!present(platform))
        return;
    m_listed[index(platform)] = repo(platform);
    OwnThread::run(
        this, [repository = AppPaths::expandHome(repo(platform))] { return Developer::branches(repository); },
        [this, platform, serial](const Developer::Branches &branches) {
            if (serial != m_listing[index(platform)])
                return;
            m_lists.insert(platform, branches.all);
            if (!m_base.contains(platform))
                m_base.insert(platform, branches.current);
            followSetup();
        });
}

void DevelopSheet::followSettings()
{
    const QSet<Platform> before = m_present;
    m_present.clear();
    for (Platform platform : Developer::platformKinds) {
        const QString path = repo(platform);
        if (!path.isEmpty() && QFileInfo::exists(AppPaths::expandHome(path) + QStringLiteral("/.git")))
            m_present.insert(platform);
    }
    // A platform whose repository went away cannot stay chosen behind a
    // disabled check box.
    m_pick.intersect(m_present);
    if (isVisible())
        for (Platform platform : Developer::platformKinds) {
            if (!m_present.contains(platform))
                continue;
            if (repo(platform) != m_listed[index(platform)]) {
                // The branches of another repository mean nothing here.
                m_lists.remove(platform);
                m_base.remove(platform);
                listBranches(platform);
            } else if (!before.contains(platform)) {
                listBranches(platform);
            }
        }
    followSetup();
}

void DevelopSheet::followSetup()
{
    for (Platform platform : Developer::platformKinds) {
        SetupCard &card = m_setup[index(platform)];
        const bool here = present(platform);
        const bool chosen = m_pick.contains(platform);
        card.check->setEnabled(here);
        if (card.check->isChecked() != chosen) {
            const QSignalBlocker quiet(card.check);
            card.check->setChecked(chosen);
        }
        card.missing->setVisible(!here);
        card.branchRow->setVisible(here && chosen);

        const QStringList entries = m_lists.value(platform);
        QStringList shown;
        for (int i = 0; i < card.branches->count(); ++i)
            shown.append(card.branches->itemText(i));
        if (shown != entries) {
            const QSignalBlocker quiet(card.branches);
            card.branches->clear();
            card.branches->addItems(entries);
        }
        const int selected = m_base.contains(platform) ? entries.indexOf(m_base.value(platform)) : -1;
        if (card.branches->currentIndex() != selected) {
            const QSignalBlocker quiet(card.branches);
            card.branches->setCurrentIndex(selected);
        }

        const QString path = preview(platform);
        card.preview->setToolTip(path);
        card.preview->setText(card.preview->fontMetrics().elidedText(path, Qt::ElideMiddle, cardContentWidth));
    }
    m_start->setEnabled(canStart());
}

void DevelopSheet::followRuns()
{
    const Developer::Runs runs = Developer::shared().runs();
    m_faces->setCurrentWidget(runs.isEmpty() ? m_setupFace : m_progressFace);
    bool ticking = false;
    for (Platform platform : Developer::platformKinds) {
        RunCard &card = m_run[index(platform)];
        card.frame->setVisible(runs.contains(platform));
        if (!runs.contains(platform))
            continue;
        const Developer::Run run = runs.value(platform);
        const bool working = run.phase == Phase::preparing || run.phase == Phase::writing;
        ticking = ticking || !run.ended;
        card.spinner->setVisible(working);
        card.mark->setVisible(!working);
        if (run.phase == Phase::done)
            ViewStyle::themeSymbol(card.mark, QStringLiteral("checkmark.circle.fill"), ViewStyle::Tone::green);
        else if (run.phase == Phase::failed)
            ViewStyle::themeSymbol(card.mark, QStringLiteral("xmark.octagon.fill"), ViewStyle::Tone::red);
        card.title->setText(displayName(platform) + QStringLiteral(" · ") + run.branch);

        QString detail = run.detail;
        if (run.phase == Phase::writing && run.edits >= 1)
            detail += QStringLiteral(" · 수정 ") + QString::number(run.edits) + QStringLiteral("번");
        card.detail->setText(detail);

        const bool finished = run.phase == Phase::done || run.phase == Phase::failed;
        card.summaryArea->setVisible(finished && !run.summary.isEmpty());
        card.summary->setText(run.summary);
        card.folderRow->setVisible(run.worktree.has_value());
        const bool showChanged = run.phase == Phase::done && !run.changed.isEmpty();
        card.changed->setVisible(showChanged);
        card.changed->setText(QStringLiteral("바뀐 파일 ") + QString::number(run.changed.size()) + QStringLiteral("개"));
    }
    m_now = QDateTime::currentDateTime();
    followClocks();
    // The clocks need a tick only while a run has no end.
    if (ticking && !m_tick->isActive())
        m_tick->start();
    else if (!ticking)
        m_tick->stop();
    followButtons();
}

void DevelopSheet::followClocks()
{
    const Developer::Runs runs = Developer::shared().runs();
    for (Platform platform : Developer::platformKinds) {
        if (!runs.contains(platform))
            continue;
        const Developer::Run &run = runs.find(platform).value();
        m_run[index(platform)].clock->setText(elapsedText(run.started, run.ended.value_or(m_now)));
    }
}

void DevelopSheet::followButtons()
{
    const Developer &developer = Developer::shared();
    const bool setup = developer.runs().isEmpty();
    const bool running = !setup && developer.isRunning();
    const bool finished = !setup && !running;
    m_cancel->setVisible(setup);
    m_start->setVisible(setup);
    m_stop->setVisible(running);
    m_closeBehind->setVisible(running);
    m_restart->setVisible(finished);
    m_close->setVisible(finished);
    m_start->setDefault(setup);
    m_closeBehind->setDefault(running);
    m_close->setDefault(finished);
    m_start->setEnabled(canStart());
}

void DevelopSheet::startRuns()
{
    if (!canStart())
        return;
    QList<Platform> platforms;
    for (Platform platform : Developer::platformKinds)
        if (m_pick.contains(platform))
            platforms.append(platform);
    Developer::shared().start(platforms, m_base, trimSpacesAndTabs(m_name->text()), m_planDir, m_state->settings());
}
