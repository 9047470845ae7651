#pragma once

#include "settings/connections.h"

#include <QString>
#include <QWidget>
#include <functional>

class AppState;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// The three outside connections (the claude tool, the design service, the
// wiki) with the one setup step that fits each, and the running setup job
// with its note, login link, code field and "취소". The checks and jobs
// belong to Connections; this view picks the step and when to look again.
class ConnectionsView : public QWidget
{
    Q_OBJECT

public:
    ConnectionsView(AppState *state, Connections *connections, QWidget *parent = nullptr);
    ~ConnectionsView() override;

    // Fills an empty tool path from the tool search, then checks the three
    // connections again.
    void refresh();

    // One connection row as shown.
    struct Row {
        QFrame *frame = nullptr;
        QLabel *icon = nullptr;
        QWidget *spinner = nullptr;
        QLabel *title = nullptr;
        QLabel *detail = nullptr;
        QPushButton *button = nullptr;
    };
    const Row &claudeRow() const { return m_claudeRow; }
    const Row &figmaRow() const { return m_figmaRow; }
    const Row &wikiRow() const { return m_wikiRow; }
    QFrame *jobPanel() const { return m_jobPanel; }
    QLabel *jobTitle() const { return m_jobTitle; }
    QLabel *jobNote() const { return m_jobNote; }
    QPushButton *jobCancel() const { return m_jobCancel; }
    QPushButton *jobLink() const { return m_jobLink; }
    QLineEdit *codeField() const { return m_codeField; }
    QPushButton *codeSend() const { return m_codeSend; }
    QWidget *errorLine() const { return m_errorLine; }
    QLabel *errorText() const { return m_errorText; }
    QPushButton *recheckButton() const { return m_recheck; }

    // The line under a row's title for a purpose text and a status.
    static QString detailLine(const QString &purpose, const Connections::Status &status);

protected:
    void showEvent(QShowEvent *event) override;

private:
    enum class Step { none, installClaude, loginClaude, connectFigma, loginFigma, connectWiki, loginWiki };

    Row makeRow(const QString &title);
    void follow();
    void showRow(Row &row, const QString &purpose, const Connections::Status &status, Step step);
    Step claudeStep() const;
    Step figmaStep() const;
    Step wikiStep() const;
    void start(Step step);
    // The tool for a job: the configured path, else the one found, else the
    // bare name; found off the main thread when it has to be searched.
    void withTool(std::function<void(const QString &tool)> then);
    void followJob();
    void onActivation(Qt::ApplicationState applicationState);

    AppState *m_state;
    Connections *m_connections;
    Row m_claudeRow;
    Row m_figmaRow;
    Row m_wikiRow;
    QFrame *m_jobPanel;
    QLabel *m_jobTitle;
    QLabel *m_jobNote;
    QPushButton *m_jobCancel;
    QPushButton *m_jobLink;
    QWidget *m_codeRow;
    QLineEdit *m_codeField;
    QPushButton *m_codeSend;
    QWidget *m_errorLine;
    QLabel *m_errorText;
    QPushButton *m_recheck;
    AppSettings::FigmaMode m_figmaMode = AppSettings::FigmaMode::mcp;
    AppSettings::ClaudeAuth m_claudeAuth = AppSettings::ClaudeAuth::login;
    // Tells the newest refresh from older ones still searching for the tool.
    quint64 m_refreshSerial = 0;
    // Ends the tool searches still running when the view goes.
    CancelToken m_searchStop;
};
