#include "Startup.h"

int main(int argc, char** argv) {
    return zenta::Main(argc, argv);
}
