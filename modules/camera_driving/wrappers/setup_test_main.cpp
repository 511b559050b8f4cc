// Runs the ports' test entry point: offers both services and publishes on every port until killed.
#include "int_test.h"

int main() {
    setup_test();
    return 0;
}
