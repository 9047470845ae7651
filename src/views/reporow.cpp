#include "views/reporow.h"

#include "views/viewstyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>

RepoRow::RepoRow(const QString &title, bool ios, const QString &github, QWidget *parent)
    : QWidget(parent)
    , m_ios(ios)
    , m_field(new QLineEdit(this))
    , m_choose(new QPushButton(QStringLiteral("선택…"), this))
    , m_found(new QLabel(QStringLiteral("✓ 확인됨"), this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);

    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    auto *name = new QLabel(title, this);
    name->setFixedWidth(60);
    row->addWidget(name);
    const QString example = QUrl(github).fileName();
    m_field->setPlaceholderText(QStringLiteral("참고할 로컬 저장소 경로 (예: ~/") + example + QStringLiteral(")"));
    row->addWidget(m_field, 1);
    row->addWidget(m_choose);
    column->addLayout(row);

    ViewStyle::font(m_found, ViewStyle::Font::caption);
    ViewStyle::tone(m_found, ViewStyle::Tone::green);
    m_found->setContentsMargins(68, 0, 0, 0);
    column->addWidget(m_found);
    recheck();

    connect(m_field, &QLineEdit::textEdited, this, [this](const QString &text) {
        recheck();
        Q_EMIT pathEdited(text);
    });
    connect(m_choose, &QPushButton::clicked, this, &RepoRow::chooseRequested);
}

QString RepoRow::path() const
{
    return m_field->text();
}

void RepoRow::setPath(const QString &path)
{
    if (m_field->text() == path)
        return;
    m_field->setText(path);
    recheck();
}

void RepoRow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    recheck();
}

void RepoRow::recheck()
{
    m_found->setVisible(AppSettings::check(m_field->text(), m_ios).kind == AppSettings::RepoCheck::Kind::ok);
}

void RepoRow::takeChosen(const QString &path)
{
    if (path == m_field->text())
        return;
    m_field->setText(path);
    recheck();
    Q_EMIT pathEdited(path);
}
