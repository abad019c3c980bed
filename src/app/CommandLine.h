// The command line of pelloric: `pelloric [FILE.wim]`, as a file manager passes a file
// ("Exec=pelloric %f"). Nothing else is read from the command line.
#pragma once

#include <QString>
#include <QStringList>

class MainWindow;

struct CommandLine {
    QString wimFile;   // the file to open on the information page; empty: start as usual
    bool help = false; // -h or --help: print usageText() and end
    QString error;     // not empty: the arguments are unusable, print it and usageText()
};

// Reads the arguments after the program name (Qt's own options already taken out). "--" ends
// the options, so "pelloric -- -x.wim" opens "-x.wim".
CommandLine parseCommandLine(const QStringList& arguments);
QString usageText();

// Starts the main window on the information page with path in its source field, and runs its
// report once the event loop runs, as the page's "获取信息" button would.
void startOnInfoPage(MainWindow& window, const QString& path);
