#pragma once

#include <QPointer>
#include <QWidget>

class AppState;
class QLabel;

// The window's file work that the person waits on (a rename, an export, an
// import), while it runs: a spinner, what is being done, and "멈추기",
// which stops it. Hidden while there is none.
class FileWorkRow : public QWidget
{
    Q_OBJECT

public:
    FileWorkRow(AppState *state, QWidget *parent);

private:
    void follow();

    QPointer<AppState> m_state;
    QLabel *m_text = nullptr;
};
