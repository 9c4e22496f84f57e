// Answers the modal message boxes that the windows show, as an operator would,
// and keeps what each box said.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <optional>
#include <vector>

struct SeenBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
};

struct SeenFileDialog {
    QString fileName;  // the name preset in the dialog's file name field
    QStringList nameFilters;
};

// Answers message boxes with a chosen button, and file dialogs with chosen
// files (or a cancel).
class ModalDriver {
public:
    explicit ModalDriver(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~ModalDriver();

    void SetAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }
    // The answer to Yes/No questions when the chosen answer is not among
    // their buttons; No unless set.
    void SetQuestionAnswer(QMessageBox::StandardButton answer) { questionAnswer_ = answer; }
    // Files to choose in the next file dialogs; none means Cancel.
    void SetFileChoice(QStringList files) { files_ = std::move(files); }
    const std::vector<SeenBox>& Boxes() const { return boxes_; }
    const std::vector<SeenFileDialog>& FileDialogs() const { return fileDialogs_; }
    void Clear() { boxes_.clear(); }

private:
    void AnswerOpenBox();
    void AnswerFileDialog(class QFileDialog* dialog);

    // Wakes the driver when a dialog is shown, so that nothing polls while
    // no box is open (a transfer's CPU cost is measured with this driver).
    class ShowWatcher : public QObject {
    public:
        explicit ShowWatcher(ModalDriver& driver) : driver_(driver) {}
        bool eventFilter(QObject* watched, QEvent* event) override;

    private:
        ModalDriver& driver_;
    };

    QMessageBox::StandardButton answer_;
    QMessageBox::StandardButton questionAnswer_ = QMessageBox::No;
    std::vector<SeenBox> boxes_;
    QStringList files_;
    std::vector<SeenFileDialog> fileDialogs_;
    QTimer timer_;
    ShowWatcher watcher_{*this};
};
