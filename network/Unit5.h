// The network configuration window: board search and the saved board address.
#pragma once

#include <QWidget>

class TForm5 : public QWidget {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);
    void FormCreate();
};

extern TForm5* Form5;
