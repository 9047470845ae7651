#pragma once

#include "settings/appsettings.h"

#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

// One app repository of the settings form: its path as typed, a folder
// chooser, and "✓ 확인됨" while the folder and its platform sub-folder
// exist. The row holds no setting: it reports edits and shows what it is
// given.
class RepoRow : public QWidget
{
    Q_OBJECT

public:
    // `github` is the repository's web address; its last path component is
    // the example folder of the placeholder.
    RepoRow(const QString &title, bool ios, const QString &github, QWidget *parent = nullptr);

    QString path() const;
    // Shows a path set elsewhere; the field is written only when it differs,
    // so the cursor stays where the user is typing.
    void setPath(const QString &path);

    // Takes a folder the user chose as if it had been typed.
    void takeChosen(const QString &path);

    QLineEdit *field() const { return m_field; }
    QPushButton *chooseButton() const { return m_choose; }
    QLabel *foundMark() const { return m_found; }

Q_SIGNALS:
    // The user typed or chose a new path.
    void pathEdited(const QString &path);
    // "선택…" was pressed: the owner shows the folder panel.
    void chooseRequested();

protected:
    // The folder may have come or gone while the row was hidden.
    void showEvent(QShowEvent *event) override;

private:
    void recheck();

    bool m_ios;
    QLineEdit *m_field;
    QPushButton *m_choose;
    QLabel *m_found;
};
