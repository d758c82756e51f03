#include "app/shell/frame/DrovickApplication.h"

int main(int argc, char** argv) {
    DrovickApplication application(argc, argv);
    return application.Run();
}
