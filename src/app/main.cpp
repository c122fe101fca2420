// Zenkalo: looking up Hungarian postal codes.
#include "app/application.h"
#include "app/program.h"

int main(int argc, char** argv) {
    zenkalo::Application app(argc, argv);
    zenkalo::Program program(app);
    return program.run();
}
