// Cuewell: calls the cues of a live show from its script.

#include "app/Application.h"
#include "app/Seams.h"
#include "app/Unit1.h"

int main(int argc, char** argv) {
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
