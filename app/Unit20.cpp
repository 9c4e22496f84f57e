#include "app/Unit20.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "transfer/engine/BiosPassword.h"

TForm20* Form20 = nullptr;

namespace {

constexpr int FieldFontPixels = 19;

} // namespace

TForm20::TForm20(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("BIOS Handling"));
    setFixedSize(352, 223);
    move(439, 263);
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral("TForm20 { background-color: red; }"));
    setAttribute(Qt::WA_StyledBackground);

    QFont fieldFont = font();
    fieldFont.setPixelSize(FieldFontPixels);

    Label1 = new QLabel(QStringLiteral("Please Enter Password"), this);
    Label1->setFont(fieldFont);
    Label1->setStyleSheet(QStringLiteral("color: aqua;"));
    Label1->move(64, 16);
    Label1->adjustSize();

    Edit1 = new QLineEdit(this);
    Edit1->setFont(fieldFont);
    Edit1->setGeometry(64, 48, 193, 32);
    Edit1->installEventFilter(this);

    Button1 = new QPushButton(QStringLiteral("Accept"), this);
    Button1->setGeometry(64, 120, 81, 41);
    Button1->setAutoDefault(false);
    Button2 = new QPushButton(QStringLiteral("Close"), this);
    Button2->setGeometry(176, 120, 81, 41);
    Button2->setAutoDefault(false);

    connect(Button1, &QPushButton::clicked, this, &TForm20::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm20::Button2Click);
}

void TForm20::FormCreate()
{
    EnteredPassword.clear();
}

bool TForm20::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        // Every typed character counts, control characters included; the
        // field still takes the key as usual.
        for (QChar c : static_cast<QKeyEvent*>(event)->text())
            Edit1KeyPress(c.toLatin1());
    } else if (watched == Edit1 && event->type() == QEvent::KeyRelease) {
        Edit1KeyUp();
    }
    return QWidget::eventFilter(watched, event);
}

void TForm20::Edit1KeyPress(char Key)
{
    EnteredPassword += Key;
}

void TForm20::Edit1KeyUp()
{
    Edit1->setText(QString(static_cast<qsizetype>(EnteredPassword.size()), QLatin1Char('*')));
}

void TForm20::Button1Click()
{
    const bool right = IsBiosPassword(EnteredPassword);
    if (right)
        hide();
    emit PasswordAccepted(right);
}

void TForm20::Button2Click()
{
    hide();
    emit PasswordClosed();
}
