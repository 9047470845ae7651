#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class Updater;

// The update line of the settings form: "업데이트 확인", the install button
// of a newer build and the updater's status, all following what the
// updater publishes.
class UpdateRow : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateRow(Updater *updater, QWidget *parent = nullptr);

    QPushButton *checkButton() const { return m_check; }
    QPushButton *installButton() const { return m_install; }
    QLabel *statusLine() const { return m_status; }

private:
    void follow();

    Updater *m_updater;
    QPushButton *m_check;
    QPushButton *m_install;
    QLabel *m_status;
};
