#include "classes/TandrelApplication.h"

int main(int argc, char** argv) {
    return TandrelApplication::applicationMain(argc, argv);
}
