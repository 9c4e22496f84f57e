// Answers the modal message boxes that the windows show, as an operator would,
// and keeps what each box said.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <vector>

struct SeenBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
};

class ModalDriver {
public:
    explicit ModalDriver(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~ModalDriver();

    void SetAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }
    const std::vector<SeenBox>& Boxes() const { return boxes_; }
    void Clear() { boxes_.clear(); }

private:
    void AnswerOpenBox();

    QMessageBox::StandardButton answer_;
    std::vector<SeenBox> boxes_;
    QTimer timer_;
};
