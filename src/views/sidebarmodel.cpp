#include "views/sidebarmodel.h"

#include "model/generator.h"
#include "model/reviser.h"

#include <QHash>

#include <algorithm>

namespace {

// The last path component; library folders are in standard folder form, so
// plain string work suffices (a thousand rows, rebuilt often).
QString folderName(const QString &dir)
{
    QStringView path(dir);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1).toString();
}

} // namespace

SidebarModel::SidebarModel(AppState *state, Generator &generator, QObject *parent)
    : QAbstractListModel(parent)
    , m_state(state)
    , m_generator(generator)
{
}

bool SidebarModel::rebuild()
{
    QList<Row> rows;
    rows.append({Kind::newPlan, QStringLiteral("새 계획서"), {}, {}, {}, QStringLiteral("plus.square"),
                 QStringLiteral("accent"), Selection::newPlan()});
    rows.append({Kind::header, QStringLiteral("계획서"), {}, {}, {}, {}, {}, std::nullopt});

    const Generator::Phase phase = m_generator.phase();
    const bool running = phase.isRunning();
    const bool failed = phase.kind == Generator::Phase::Kind::failed;
    // The run's folder is compared in standard folder form, since the
    // generator's path need not end in "/".
    const std::optional<QString> runningDir = m_generator.runningDir();
    const QString runFolder = (running || failed) && runningDir ? AppState::standardFolder(*runningDir) : QString();
    const QStringList unfinished = m_state ? m_state->unfinished() : QStringList();
    const auto isRunFolder = [&runFolder](const QString &dir) {
        return !runFolder.isEmpty() && AppState::standardFolder(dir) == runFolder;
    };
    const bool leftBehind = std::any_of(unfinished.begin(), unfinished.end(), isRunFolder);
    // A finished run's row goes at once, while the library reads its plan
    // a moment later: until it has listed it, the plan has a row of its own.
    const QString doneFolder =
        phase.kind == Generator::Phase::Kind::done ? AppState::standardFolder(phase.dir) : QString();
    const QList<PlanRef> noPlans;
    const QList<PlanRef> &plans = m_state ? m_state->plans() : noPlans;
    const bool doneListed = std::any_of(plans.begin(), plans.end(), [&](const PlanRef &ref) { return ref.url == doneFolder; });
    if (doneListed)
        m_doneListed = doneFolder;
    const bool donePending = !doneFolder.isEmpty() && !doneListed && m_doneListed != doneFolder;

    // While running, the generating row stands for the folder being
    // written: listed twice, it would offer to trash it mid-run. A failed
    // run that left its folder behind is that folder's unfinished row, as
    // every other window and the next start show it.
    if (running || (failed && !leftBehind)) {
        const QString title = m_generator.runningTitle();
        rows.append({Kind::generating, title.isEmpty() ? QStringLiteral("새 계획서") : title,
                     failed ? QStringLiteral("만들지 못했어요") : QStringLiteral("만드는 중…"), {}, {},
                     failed ? QStringLiteral("exclamationmark.triangle.fill") : QStringLiteral("progress"),
                     failed ? QStringLiteral("orange") : QStringLiteral("secondary"), Selection::generating()});
    }

    if (m_state) {
        for (const QString &dir : unfinished) {
            const bool ran = isRunFolder(dir);
            if ((ran && running) || (donePending && AppState::standardFolder(dir) == doneFolder))
                continue;
            // The row of the run that stopped still leads to its log.
            rows.append({Kind::unfinished, m_state->unfinishedTitle(dir), QStringLiteral("만들다 멈췄어요"), {}, dir,
                         QStringLiteral("pause.circle"), QStringLiteral("orange"),
                         ran ? std::optional(Selection::generating()) : std::nullopt});
        }

        // The plan under revision says so in its row: another plan's
        // "고치기" waits for it.
        const Reviser &reviser = Reviser::shared();
        const QString revising =
            reviser.phase().isRunning() && !reviser.dir().isEmpty() ? AppState::standardFolder(reviser.dir()) : QString();
        // The first plan being made is not an empty library.
        if (plans.isEmpty() && !running && !donePending)
            rows.append({Kind::empty, QStringLiteral("아직 없어요"), {}, {}, {}, {}, QStringLiteral("secondary"),
                         std::nullopt});
        if (donePending) {
            const QString title = m_generator.runningTitle();
            rows.append({Kind::plan, title.isEmpty() ? folderName(doneFolder) : title, {}, {}, doneFolder, {}, {},
                         Selection::plan(doneFolder)});
        }
        QHash<QString, int> titles;
        titles.reserve(plans.size());
        for (const PlanRef &ref : plans)
            ++titles[ref.title];
        for (const PlanRef &ref : plans) {
            const QString second = !revising.isEmpty() && AppState::standardFolder(ref.url) == revising
                ? QStringLiteral("고치는 중…")
                : titles.value(ref.title) >= 2 ? folderName(ref.url) : ref.feature;
            const QString badge =
                ref.openDecisions >= 1 ? QStringLiteral("미결정 ") + QString::number(ref.openDecisions) : QString();
            rows.append({Kind::plan, ref.title, second, badge, ref.url, {}, {}, Selection::plan(ref.url)});
        }
    }

    // A selection change alone leaves the rows as they are: no reset, so
    // the list keeps its scroll position and its row widgets.
    if (rows == m_rows)
        return false;
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
    return true;
}

int SidebarModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant SidebarModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &r = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return r.title;
    case KindRole:
        return QVariant::fromValue(r.kind);
    case SubtitleRole:
        return r.subtitle;
    case BadgeRole:
        return r.badge;
    case UrlRole:
        return r.url;
    case SymbolRole:
        return r.symbol;
    case ToneRole:
        return r.tone;
    default:
        return {};
    }
}

Qt::ItemFlags SidebarModel::flags(const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return Qt::NoItemFlags;
    // Only tagged rows can be selected; the others only show.
    return m_rows.at(index.row()).tag ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::ItemIsEnabled;
}

int SidebarModel::rowOf(const std::optional<Selection> &selection) const
{
    if (!selection)
        return -1;
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (m_rows.at(i).tag == selection)
            return static_cast<int>(i);
    return -1;
}
