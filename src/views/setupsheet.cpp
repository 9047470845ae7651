#include "views/setupsheet.h"

#include "app/appstate.h"
#include "views/settingsform.h"
#include "views/settingsview.h"
#include "views/viewstyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

SetupSheet::SetupSheet(AppState *state, QWidget *parent)
    : QDialog(parent)
    , m_state(state)
    , m_form(new SettingsForm(state))
    , m_later(new QPushButton(QStringLiteral("나중에"), this))
    , m_start(new QPushButton(QStringLiteral("시작하기"), this))
{
    setObjectName(QStringLiteral("setupSheet"));
    // The form scrolls between the header and the buttons: on a screen with
    // less room (1024×600, a laptop at 200 %) the sheet is smaller and its
    // buttons stay on the screen.
    ViewStyle::fitToScreen(this, QSize(660, 720), QSize(480, 360));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    auto *headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(20, 20, 20, 20);
    headerLayout->setSpacing(6);
    auto *title = new QLabel(QStringLiteral("처음 설정"), header);
    ViewStyle::font(title, ViewStyle::Font::title2, true);
    headerLayout->addWidget(title);
    auto *intro = new QLabel(QStringLiteral("피그마를 읽고 계획서를 쓰려면 아래가 필요해요. 토큰·키는 이 컴퓨터의 키링에만 "
                                            "저장돼요. 나중에 설정(Ctrl+,)에서 바꿀 수 있어요."),
                             header);
    intro->setTextFormat(Qt::PlainText);
    intro->setWordWrap(true);
    ViewStyle::tone(intro, ViewStyle::Tone::secondary);
    headerLayout->addWidget(intro);
    layout->addWidget(header);
    layout->addWidget(ViewStyle::divider(this));

    layout->addWidget(SettingsView::scrollingPage(m_form, this), 1);
    layout->addWidget(ViewStyle::divider(this));

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(16, 16, 16, 16);
    buttons->addStretch(1);
    m_later->setAutoDefault(false);
    buttons->addWidget(m_later);
    m_start->setDefault(true);
    buttons->addWidget(m_start);
    layout->addLayout(buttons);

    connect(m_later, &QPushButton::clicked, this, &SetupSheet::later);
    connect(m_start, &QPushButton::clicked, this, &SetupSheet::begin);
    // Whoever clears the flag closes the sheet.
    connect(m_state, &AppState::showSetupChanged, this, [this] {
        if (!m_state->showSetup())
            closeWith(Rejected);
    });
}

void SetupSheet::later()
{
    closeWith(Rejected);
    m_state->setShowSetup(false);
}

void SetupSheet::begin()
{
    AppSettings settings = m_state->settings();
    settings.setupDone = true;
    m_state->setSettings(settings);
    // Settings that were not saved would ask for the set-up again at the
    // next start: the sheet stays, saying why, for another try or "나중에".
    if (m_state->settingsProblem()) {
        if (auto *scroll = findChild<QScrollArea *>())
            scroll->ensureWidgetVisible(m_form->settingsProblemLine());
        return;
    }
    closeWith(Accepted);
    m_state->setShowSetup(false);
    m_state->refresh();
}

void SetupSheet::reject()
{
    later();
}

void SetupSheet::closeWith(DialogCode code)
{
    if (isVisible())
        QDialog::done(code);
}
