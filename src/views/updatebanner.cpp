#include "views/updatebanner.h"

#include "settings/updater.h"
#include "views/elidedlabel.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

using Kind = Updater::Phase::Kind;

UpdateBanner::UpdateBanner(Updater &updater, std::function<bool()> busy, QWidget *parent)
    : QWidget(parent)
    , m_updater(updater)
    , m_busy(std::move(busy))
{
    setObjectName(QStringLiteral("updateBanner"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_offer = buildOffer();
    m_status = buildStatus();
    layout->addWidget(m_offer);
    layout->addWidget(m_status);
    connect(&updater, &Updater::availableChanged, this, &UpdateBanner::redraw);
    connect(&updater, &Updater::phaseChanged, this, &UpdateBanner::redraw);
    redraw();
}

QFrame *UpdateBanner::buildOffer()
{
    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("offerPanel"));
    const QColor accent = palette().color(QPalette::Highlight);
    ViewStyle::roundedFill(
        panel, QStringLiteral("rgba(%1, %2, %3, 31)").arg(accent.red()).arg(accent.green()).arg(accent.blue()));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(6);

    auto *title = new QHBoxLayout;
    title->setSpacing(6);
    auto *icon = new QLabel(panel);
    ViewStyle::symbol(icon, QStringLiteral("arrow.down.circle.fill"), ViewStyle::Tone::accent);
    m_version = ViewStyle::plainLabel(QString(), panel);
    m_version->setObjectName(QStringLiteral("offerVersion"));
    ViewStyle::font(m_version, ViewStyle::Font::callout, true);
    title->addWidget(icon);
    title->addWidget(m_version, 1);
    layout->addLayout(title);

    m_notes = new ElidedLabel(3, panel);
    m_notes->setObjectName(QStringLiteral("offerNotes"));
    ViewStyle::font(m_notes, ViewStyle::Font::caption);
    ViewStyle::tone(m_notes, ViewStyle::Tone::secondary);
    layout->addWidget(m_notes);

    m_progressLine = new QWidget(panel);
    auto *progress = new QHBoxLayout(m_progressLine);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->addWidget(ViewStyle::spinner(14, m_progressLine));
    m_progressText = ViewStyle::plainLabel(QString(), m_progressLine);
    m_progressText->setObjectName(QStringLiteral("offerProgress"));
    ViewStyle::font(m_progressText, ViewStyle::Font::caption);
    progress->addWidget(m_progressText, 1);
    layout->addWidget(m_progressLine);

    m_failure = ViewStyle::plainLabel(QString(), panel);
    m_failure->setObjectName(QStringLiteral("offerFailure"));
    m_failure->setWordWrap(true);
    ViewStyle::font(m_failure, ViewStyle::Font::caption);
    ViewStyle::tone(m_failure, ViewStyle::Tone::orange);
    layout->addWidget(m_failure);

    m_install = new QPushButton(panel);
    m_install->setObjectName(QStringLiteral("installButton"));
    m_install->setAutoDefault(false);
    connect(m_install, &QPushButton::clicked, this, [this] { m_updater.install(); });
    layout->addWidget(m_install, 0, Qt::AlignLeft);
    return panel;
}

QFrame *UpdateBanner::buildStatus()
{
    auto *row = new QFrame(this);
    row->setObjectName(QStringLiteral("statusRow"));
    ViewStyle::roundedFill(row, QStringLiteral("rgba(128, 128, 128, 41)"));
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    m_checking = ViewStyle::spinner(14, row);
    m_statusSymbol = new QLabel(row);
    m_statusSymbol->setObjectName(QStringLiteral("statusSymbol"));
    m_statusText = new ElidedLabel(2, row);
    m_statusText->setObjectName(QStringLiteral("statusText"));
    ViewStyle::font(m_statusText, ViewStyle::Font::caption);
    m_dismiss = new QToolButton(row);
    m_dismiss->setObjectName(QStringLiteral("dismissButton"));
    m_dismiss->setAutoRaise(true);
    m_dismiss->setProperty("symbol", QStringLiteral("xmark"));
    m_dismiss->setIcon(ViewStyle::symbol(QStringLiteral("xmark"),
                                         ViewStyle::color(ViewStyle::Tone::secondary, palette()), 12));
    connect(m_dismiss, &QToolButton::clicked, this, [this] { m_updater.dismiss(); });
    layout->addWidget(m_checking);
    layout->addWidget(m_statusSymbol);
    layout->addWidget(m_statusText, 1);
    layout->addWidget(m_dismiss);
    return row;
}

void UpdateBanner::redraw()
{
    const Kind kind = m_updater.phase().kind;
    const bool offer = m_updater.available().has_value();
    const bool status = !offer && (kind == Kind::checking || kind == Kind::upToDate || kind == Kind::failed);
    m_offer->setVisible(offer);
    m_status->setVisible(status);
    if (offer)
        showOffer();
    else if (status)
        showStatus();
    // With neither face the banner takes no room in the sidebar. Without a
    // parent yet it stays as it is: showing it would open it as a window.
    if (parentWidget())
        setVisible(offer || status);
}

bool UpdateBanner::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    // A new parent hides a widget once the change is complete; the banner
    // shows again what it has on the next turn.
    if (event->type() == QEvent::ParentChange)
        QMetaObject::invokeMethod(this, &UpdateBanner::redraw, Qt::QueuedConnection);
    return handled;
}

void UpdateBanner::showOffer()
{
    const Updater::Latest latest = *m_updater.available();
    const Updater::Phase phase = m_updater.phase();
    m_version->setText(QStringLiteral("새 버전 ") + latest.version);
    const QString notes = latest.notes.value_or(QString());
    m_notes->setText(notes);
    m_notes->setVisible(!notes.isEmpty());
    const bool working = phase.kind == Kind::downloading || phase.kind == Kind::installing;
    m_progressLine->setVisible(working);
    m_progressText->setText(phase.kind == Kind::installing ? QStringLiteral("바꾸고 다시 여는 중…")
                                                           : QStringLiteral("받는 중…"));
    m_failure->setVisible(phase.kind == Kind::failed);
    m_failure->setText(phase.message);
    const bool busy = m_busy && m_busy();
    if (busy)
        m_install->setText(QStringLiteral("작업이 끝나면 업데이트할 수 있어요"));
    else
        offerVersion(m_install, latest.version);
    m_install->setEnabled(!busy && !working);
}

void UpdateBanner::offerVersion(QPushButton *button, const QString &version)
{
    QString shown = version;
    shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
    button->setText(shown + QStringLiteral(" 버전으로 업데이트하기"));
    // The style's own margin leaves a long Korean text touching the edges.
    const int padding = 2 * button->fontMetrics().averageCharWidth();
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance(version + QStringLiteral(" 버전으로 업데이트하기"))
                            + 2 * padding);
}

void UpdateBanner::showStatus()
{
    const Updater::Phase phase = m_updater.phase();
    m_checking->setVisible(phase.kind == Kind::checking);
    m_statusSymbol->setVisible(phase.kind != Kind::checking);
    m_dismiss->setVisible(phase.kind != Kind::checking);
    switch (phase.kind) {
    case Kind::checking:
        m_statusText->setText(QStringLiteral("업데이트 확인 중…"));
        break;
    case Kind::upToDate:
        ViewStyle::symbol(m_statusSymbol, QStringLiteral("checkmark.circle.fill"), ViewStyle::Tone::green, 14);
        m_statusText->setText(QStringLiteral("최신 버전이에요"));
        break;
    default:
        ViewStyle::symbol(m_statusSymbol, QStringLiteral("exclamationmark.triangle.fill"), ViewStyle::Tone::orange, 14);
        m_statusText->setText(phase.message);
        break;
    }
}
