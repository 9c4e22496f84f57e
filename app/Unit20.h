// The BIOS password window. It keeps its own record of every character typed
// into its field since the program started and shows only asterisks; Accept
// tells whether the record is exactly the password (the main window unlocks
// the BIOS selection, or ends the program when it is not), Close that the
// window was closed.
#pragma once

#include <QWidget>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

class TForm20 : public QWidget {
    Q_OBJECT
public:
    explicit TForm20(QWidget* parent = nullptr);
    void FormCreate();

    void Edit1KeyPress(char Key);
    void Edit1KeyUp();
    void Button1Click();
    void Button2Click();

    const std::string& Entered() const { return EnteredPassword; }

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

signals:
    void PasswordAccepted(bool right);
    void PasswordClosed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string EnteredPassword;
};

extern TForm20* Form20;
