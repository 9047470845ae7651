#include "views/fileworkrow.h"

#include "app/appstate.h"
#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

using namespace Qt::StringLiterals;

FileWorkRow::FileWorkRow(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
{
    setObjectName(u"fileWorkRow"_s);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 6, 6, 6);
    layout->setSpacing(8);
    Spinner *spinner = ViewStyle::spinner(16, this);
    m_text = new QLabel(this);
    m_text->setObjectName(u"fileWorkText"_s);
    m_text->setTextFormat(Qt::PlainText);
    auto *stop = new QPushButton(u"멈추기"_s, this);
    stop->setObjectName(u"fileWorkStop"_s);
    stop->setAutoDefault(false);
    layout->addWidget(spinner);
    layout->addWidget(m_text, 1);
    layout->addWidget(stop);
    connect(stop, &QPushButton::clicked, this, [this] {
        if (m_state)
            m_state->stopTasks();
    });
    connect(state, &AppState::tasksChanged, this, &FileWorkRow::follow);
    follow();
}

void FileWorkRow::follow()
{
    const QStringList tasks = m_state ? m_state->tasks() : QStringList();
    m_text->setText(tasks.join(u" · "_s));
    setVisible(!tasks.isEmpty());
    adjustSize();
}
