#pragma once
class AppState;
class QDialog;
class QWidget;

// Where the shell gets the views that fill it; each view's own unit builds it.
namespace ViewFactory {
QWidget *sidebar(AppState *state, QWidget *parent);           // objectName "sidebar"
QWidget *newPlanView(AppState *state, QWidget *parent);       // "newPlanView" (one per newPlanToken)
QWidget *runLog(AppState *state, QWidget *parent);            // "runLog" (detail for `generating`)
QWidget *floatingNewButton(AppState *state, QWidget *parent); // "floatingNewButton"
QWidget *updateBanner(AppState *state, QWidget *parent);      // "updateBanner"
QWidget *planEditorView(AppState *state, QWidget *parent);    // "planEditorView" (state->plan / planDir)
QWidget *settingsView(AppState *state, QWidget *parent);      // "settingsView" (inside the settings window)
QDialog *setupSheet(AppState *state, QWidget *parent);        // "setupSheet" (window-modal, opened with open())
}
