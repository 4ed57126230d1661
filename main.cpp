#include "CommandLine.h"
#include "MainWindow.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QTimer>
#include <iostream>

int main(int argc, char* argv[])
{
    if (argc > 1 && isHelpArgument(argv[1])) {
        std::cout << usageText(argv[0]) << std::flush;
        return 0;
    }

    auto* app = new QApplication(argc, argv);
    auto* window = new MainWindow(nullptr);
    {
        // Ended from outside, the program still closes its record whole; a second signal changes nothing.
        auto* termination = new TerminationSignals(app);
        QObject::connect(termination, &TerminationSignals::received, window, [window] { window->closeWithoutQuestions(); });
    }
    if (argc > 1) {
        // argv outlives the event loop, so the pointer stays valid for the deferred call.
        const char* file = argv[1];
        QTimer::singleShot(0, window, [window, file] { window->configure(file); });
    }
    app->exec();
    delete window;
    delete app;
    return 0;
}
