#include "platform/qt/DesktopApplication.h"

int main(int argc, char** argv) {
    return DesktopApplication::applicationMain(argc, argv);
}
