#include "views/updaterow.h"

#include "views/updatebanner.h"

#include "settings/updater.h"
#include "views/viewstyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

UpdateRow::UpdateRow(Updater *updater, QWidget *parent)
    : QWidget(parent)
    , m_updater(updater)
    , m_check(new QPushButton(QStringLiteral("업데이트 확인"), this))
    , m_install(new QPushButton(this))
    , m_status(ViewStyle::plainLabel(QString(), this))
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto *label = new QLabel(QStringLiteral("업데이트"), this);
    row->addWidget(label, 0, Qt::AlignTop);

    auto *column = new QVBoxLayout;
    column->setSpacing(6);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_check);
    m_install->setDefault(false);
    m_install->setProperty("prominent", true);
    buttons->addWidget(m_install);
    buttons->addStretch(1);
    column->addLayout(buttons);
    ViewStyle::font(m_status, ViewStyle::Font::caption);
    m_status->setWordWrap(true);
    column->addWidget(m_status);
    row->addLayout(column, 1);

    connect(m_check, &QPushButton::clicked, this, [this] { m_updater->check(true); });
    connect(m_install, &QPushButton::clicked, this, [this] { m_updater->install(); });
    connect(m_updater, &Updater::phaseChanged, this, &UpdateRow::follow);
    connect(m_updater, &Updater::availableChanged, this, &UpdateRow::follow);
    follow();
}

void UpdateRow::follow()
{
    using Kind = Updater::Phase::Kind;
    const Updater::Phase phase = m_updater->phase();
    const std::optional<Updater::Latest> available = m_updater->available();
    const bool transferring = phase.kind == Kind::downloading || phase.kind == Kind::installing;

    m_check->setEnabled(phase.kind != Kind::checking && !transferring);
    m_install->setVisible(available.has_value());
    if (available)
        UpdateBanner::offerVersion(m_install, available->version);
    m_install->setEnabled(!transferring);

    QString status;
    ViewStyle::Tone tone = ViewStyle::Tone::secondary;
    switch (phase.kind) {
    case Kind::checking:
        status = QStringLiteral("확인하는 중…");
        break;
    case Kind::downloading:
        status = QStringLiteral("받는 중…");
        break;
    case Kind::installing:
        status = QStringLiteral("바꾸고 다시 여는 중…");
        break;
    case Kind::upToDate:
        status = QStringLiteral("최신 버전이에요");
        break;
    case Kind::failed:
        status = phase.message;
        tone = ViewStyle::Tone::orange;
        break;
    case Kind::idle:
        if (available && available->notes && !available->notes->isEmpty())
            status = QStringLiteral("바뀐 점: ") + *available->notes;
        else
            status = QStringLiteral("배포 서버: ") + m_updater->feed();
        break;
    }
    m_status->setText(status);
    ViewStyle::tone(m_status, tone);
}
