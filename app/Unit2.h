// The serial settings window. It owns the serial port for the whole run and
// the serial link over it, which the main window's session sends over and
// hears from. At start-up it restores the serial record of ZEVEVI.CFG and
// connects; while the application is idle it shows the connection state in
// its panels, and tells it (ConnectionShown) for the main window's Panel2.
#pragma once

#include <QMetaObject>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <cstdint>
#include <string>

#include "serial/CPort.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/record/SettingsFile.h"

class QComboBox;
class QLabel;
class QPushButton;

class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    // Closes the port while the window's handlers can still run.
    ~TForm2() override;

    // Resets the receive state, installs IdleProc, selects the defaults,
    // restores a serial record from ZEVEVI.CFG and connects. Settings file and
    // port errors are raised after what was read before them is applied.
    void FormCreate();

    void Button2Click();  // Connect: apply the selections to ComPort1 and open it
    void Button1Click();  // Close: hide the window; the port stays as it is
    void Button3Click();  // Save Configuration: the serial record to ZEVEVI.CFG

    // Runs whenever the GUI thread's event loop is about to block; cheap.
    void IdleProc();

    // ComPort1's line handlers; its receive and transmit-empty events belong
    // to the serial link.
    void ComPort1Error(QObject* Sender, TComErrors Errors);
    void ComPort1Rx80Full(QObject* Sender);

    // The link over ComPort1.
    TBoardLink& SerialLink() { return link_->Link(); }

    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* Label9 = nullptr;
    QComboBox* Combo1 = nullptr;  // port
    QComboBox* Combo2 = nullptr;  // baud rate
    QComboBox* Combo3 = nullptr;  // data bits
    QComboBox* Combo4 = nullptr;  // parity
    QComboBox* Combo5 = nullptr;  // stop bits
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QLabel* Panel1 = nullptr;
    QLabel* Panel2 = nullptr;
    TComPort* ComPort1 = nullptr;

signals:
    // The line reported trouble: the beeps that tell it.
    void LineTrouble(int beeps);
    // The connection state as the main window's Panel2 shows it.
    void ConnectionShown(const QString& text);

private:
    void CreateControls();
    void CreatePort();
    std::array<QComboBox*, SerialFieldCount> Combos() const;
    void SelectDefaults();
    void RestoreSerialRecord();
    void ApplySelections();

    std::unique_ptr<TOpenLink> link_;
    QMetaObject::Connection idleConnection_;
    // What the panels show, so that an idle moment with nothing new is cheap.
    struct TPanelState {
        bool linkUp = false;
        std::array<int, 4> settings{};  // baud rate, data bits, parity, stop bits
        bool operator==(const TPanelState&) const = default;
    };
    std::optional<TPanelState> shown_;
    std::string shownPort_;
};

extern TForm2* Form2;
