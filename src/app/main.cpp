#include "app/ProgstarApp.h"

int main(int argc, char** argv) {
    return nvds::CProgstarApp().InitInstance(argc, argv);
}
