// The application's dialogs: window/centre, tuning parameter, about box.
#pragma once

#include <QDialog>
#include <QEvent>

class QLabel;
class QLineEdit;
class QSlider;
class CVarnexView;

/// The window/centre dialog's answer to its view, posted when it ends.
class WindCentEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 100);
    explicit WindCentEvent(int code) : QEvent(kType), m_nCode(code) {}
    int m_nCode;
};

/// Modeless dialog with the Window (1..255) and Center (0..254) sliders.
/// Each view owns one; its window is created on first use. OK copies the
/// slider positions into m_window and m_center; OK and Cancel hide the
/// window and post the view its answer. The grey levels the positions stand
/// for are shown beside the sliders as they move.
class WindCentDlg : public QDialog {
    Q_OBJECT
public:
    explicit WindCentDlg(CVarnexView* owner);

    /// Starts the dialog at grey window `window` and centre `center` of a
    /// grey table of `table_length` entries: sets m_window and m_center to
    /// their slider positions. Takes effect at the next Create.
    void SetLevels(int center, int window, int table_length);
    /// Creates the window if there is none (sliders set from m_center and
    /// m_window) and shows it. Returns true when a window was created.
    bool Create();
    bool HasWindow() const { return m_bHasWindow; }
    /// Hides the window and forgets it; the next Create makes it anew.
    void DestroyWindow();

    /// The grey levels the sliders stand for now. A slider still where
    /// Create put it keeps the exact level it started from; the window is
    /// at least 1.
    int CenterLevel() const;
    int WindowLevel() const;

    QSlider* WindowSlider() const { return m_pWindowSlider; }
    QSlider* CenterSlider() const { return m_pCenterSlider; }
    /// The labels beside the sliders that show their grey levels.
    QLabel* WindowValue() const { return m_pWindowValue; }
    QLabel* CenterValue() const { return m_pCenterValue; }

    CVarnexView* m_pOwnerView;
    int m_center = 0;
    int m_window = 0;

public Q_SLOTS:
    void accept() override;
    void reject() override;

private:
    int level_of(const QSlider* slider, int start_level, int start_position) const;
    void show_levels();

    QSlider* m_pCenterSlider;
    QSlider* m_pWindowSlider;
    QLabel* m_pCenterValue;
    QLabel* m_pWindowValue;
    bool m_bHasWindow = false;
    int m_nTableLength = 256;
    int m_nStartCenter = 0;           // levels given to SetLevels
    int m_nStartWindow = 1;
    int m_nStartCenterPosition = -1;  // slider positions Create set
    int m_nStartWindowPosition = -1;
};

/// Modal dialog asking for the tuning parameter. OK refuses a text that is
/// not a number, or a negative number, with a message and stays open with
/// the text selected in the edit box.
class Dlg_Parameter : public QDialog {
    Q_OBJECT
public:
    explicit Dlg_Parameter(QWidget* parent = nullptr);

    /// Shows m_value in the edit box and runs the dialog. Returns
    /// QDialog::Accepted (m_value holds the new value) or Rejected.
    int DoModal();
    QLineEdit* Edit() const { return m_pEdit; }

    float m_value = 0.0f;

public Q_SLOTS:
    void accept() override;

private:
    void refuse(const char* text);

    QLineEdit* m_pEdit;
};

/// The about box: "Varnex Version 1.0".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

/// Formats a float as the parameter dialog shows it: up to 6 significant
/// digits ("10", "2.5").
QString format_parameter(float value);
/// Parses the parameter dialog's text: a finite number, surrounding spaces
/// allowed. False for anything else.
bool parse_parameter(const QString& text, float* value);
