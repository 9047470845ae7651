#include "views/renamesheet.h"

#include "core/jsonread.h"
#include "model/plan.h"
#include "views/blanktext.h"
#include "views/viewstyle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QVBoxLayout *group(QVBoxLayout *parent, const QString &title, QLineEdit *edit, const QString &note)
{
    auto *box = new QVBoxLayout;
    box->setSpacing(4);
    auto *label = new QLabel(title);
    ViewStyle::font(label, ViewStyle::Font::headline);
    auto *caption = new QLabel(note);
    caption->setWordWrap(true);
    ViewStyle::font(caption, ViewStyle::Font::caption);
    ViewStyle::tone(caption, ViewStyle::Tone::secondary);
    box->addWidget(label);
    box->addWidget(edit);
    box->addWidget(caption);
    parent->addLayout(box);
    return box;
}

QString folderName(const QString &dir)
{
    return QFileInfo(QDir::cleanPath(dir)).fileName();
}

} // namespace

RenameSheet::RenameSheet(AppState *state, const PlanRef &ref, QWidget *parent)
    : QDialog(parent)
    , m_state(state)
    , m_ref(ref)
    , m_title(new QLineEdit(this))
    , m_folder(new QLineEdit(this))
    , m_cancel(new QPushButton(QStringLiteral("취소"), this))
    , m_rename(new QPushButton(QStringLiteral("바꾸기"), this))
{
    setObjectName(QStringLiteral("renameSheet"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedWidth(460);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);
    auto *heading = new QLabel(QStringLiteral("이름 바꾸기"), this);
    ViewStyle::font(heading, ViewStyle::Font::title3, true);
    layout->addWidget(heading);

    m_title->setObjectName(QStringLiteral("title"));
    m_title->setPlaceholderText(QStringLiteral("항구 클립 모음"));
    group(layout, QStringLiteral("제목"), m_title,
          QStringLiteral("목록과 계획서 맨 위에 보이는 이름이에요. 끝에 “개발 계획서” 는 자동으로 붙어요."));
    m_folder->setObjectName(QStringLiteral("folder"));
    m_folder->setPlaceholderText(QStringLiteral("HarborClips-plan"));
    ViewStyle::monospaced(m_folder);
    group(layout, QStringLiteral("폴더 이름"), m_folder, QStringLiteral("같은 기능 계획서가 여럿일 때 목록에서 구분돼요."));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    // Only "바꾸기" answers Return; focus on "취소" must not make it the default.
    m_cancel->setAutoDefault(false);
    m_rename->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_rename);
    layout->addLayout(buttons);

    m_title->setText(prefillTitle(ref));
    m_folder->setText(folderName(ref.url));
    connect(m_title, &QLineEdit::textChanged, this, &RenameSheet::updateButton);
    connect(m_folder, &QLineEdit::textChanged, this, &RenameSheet::updateButton);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_rename, &QPushButton::clicked, this, &RenameSheet::rename);
    updateButton();
}

QString RenameSheet::prefillTitle(const PlanRef &ref)
{
    QFile file(QDir(ref.url).filePath(QStringLiteral("plan.json")));
    if (!file.open(QIODevice::ReadOnly))
        return ref.title;
    try {
        return Plan::decode(file.readAll()).meta.title;
    } catch (const JSONDecodeError &) {
        return ref.title;
    }
}

void RenameSheet::updateButton()
{
    m_rename->setEnabled(!BlankText::isBlank(m_title->text()) && !BlankText::isBlank(m_folder->text()));
}

void RenameSheet::rename()
{
    if (!m_rename->isEnabled())
        return;
    // Passed as typed: the rename trims and checks them itself.
    const QString title = m_title->text();
    const QString folder = m_folder->text();
    if (m_state)
        m_state->rename(m_ref.url, title, folder);
    accept();
}
