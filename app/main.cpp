// Cuewell: calls the cues of a live show from its script.

#include "app/Application.h"
#include "app/ExportCommand.h"
#include "app/Seams.h"
#include "app/Unit1.h"

int main(int argc, char** argv) {
    if (const int status = RunExportCommandLine(argc, argv); status >= 0)
        return status;
    TCuewellApplication app(argc, argv);
    ApplyDarkStyle(app);

    DesktopPrompts prompts;
    ProcessPaths paths;
    app.SetPrompts(&prompts);

    TCuewell window(TAppContext{prompts, paths, QCoreApplication::arguments()});
    if (window.EndRequested())
        return 0;
    window.show();
    return app.exec();
}
