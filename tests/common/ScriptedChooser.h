#pragma once

// A file chooser for tests: hands out the path the test put in `next` and keeps the filter it
// was asked with.

#include <QString>

#include "app/FileChooser.h"

namespace nvds::test {

class ScriptedChooser : public FileChooser {
public:
    QString OpenPath(QWidget*, const QString& filter) override {
        lastFilter = filter;
        return next;
    }
    QString SavePath(QWidget*, const QString& filter) override {
        lastFilter = filter;
        return next;
    }
    QString next;
    QString lastFilter;
};

}  // namespace nvds::test
