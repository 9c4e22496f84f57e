// Creates the program's four windows as its entry does, in a fresh working
// folder (where ZEVEVI.CFG and the COM links live), and destroys them again.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>

class Windows {
public:
    // The folder is made first, so that a test can put files in it before
    // Create() runs the windows' creation.
    Windows();
    ~Windows();

    void Create();
    std::string Folder() const;
    std::string PathOf(const std::string& name) const;

private:
    QTemporaryDir folder_;
    QString previousFolder_;
    bool created_ = false;
};
