#include "views/renamesheet.h"

#include "core/jsonread.h"
#include "core/ownthread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "model/plan.h"
#include "views/blanktext.h"
#include "views/fileworkrow.h"
#include "views/viewstyle.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

void group(QVBoxLayout *parent, const QString &title, QLineEdit *edit, const QString &note)
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
    // The window behind is out of reach while the sheet is open: the rename
    // shows, and stops, here.
    if (state)
        layout->addWidget(new FileWorkRow(state, this));
    layout->addLayout(buttons);

    // The title comes from plan.json, read off the main thread; until then
    // the field waits.
    m_title->setEnabled(false);
    m_folder->setText(folderName(ref.url));
    OwnThread::run(this, [ref] { return prefillTitle(ref); }, [this](const QString &title) {
        m_title->setText(title);
        m_title->setEnabled(true);
        m_title->setFocus();
        updateButton();
    });
    connect(m_title, &QLineEdit::textChanged, this, &RenameSheet::updateButton);
    connect(m_folder, &QLineEdit::textChanged, this, &RenameSheet::updateButton);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_rename, &QPushButton::clicked, this, &RenameSheet::rename);
    updateButton();
}

QString RenameSheet::prefillTitle(const PlanRef &ref)
{
    const std::optional<QByteArray> bytes = RegularFile::read(QDir(ref.url).filePath(QStringLiteral("plan.json")), FileSizes::plan);
    if (!bytes)
        return ref.title;
    try {
        // Only the title is read: the rest of a large plan is not needed.
        return JsonRead::record(parseObject(*bytes), QStringLiteral("meta"), Meta::read, Meta()).title;
    } catch (const JSONDecodeError &) {
        return ref.title;
    }
}

void RenameSheet::updateButton()
{
    m_rename->setEnabled(m_title->isEnabled() && !m_renaming && !BlankText::isBlank(m_title->text())
                         && !BlankText::isBlank(m_folder->text()));
}

void RenameSheet::rename()
{
    if (!m_rename->isEnabled())
        return;
    // Passed as typed: the rename trims and checks them itself.
    const QString title = m_title->text();
    const QString folder = m_folder->text();
    if (!m_state) {
        accept();
        return;
    }
    // The sheet stays, with what was typed, until the rename is over; a
    // refused one leaves it open for another try.
    m_renaming = true;
    updateButton();
    QPointer<RenameSheet> self(this);
    m_state->rename(m_ref.url, title, folder, [self](bool renamed) {
        if (!self)
            return;
        self->m_renaming = false;
        if (renamed)
            self->accept();
        else
            self->updateButton();
    });
}
