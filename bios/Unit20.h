// The BIOS password window.
#pragma once

#include <QWidget>

class TForm20 : public QWidget {
    Q_OBJECT
public:
    explicit TForm20(QWidget* parent = nullptr);
    void FormCreate();
};

extern TForm20* Form20;
