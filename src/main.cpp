#include "app/entry_point.hpp"

int main(int argc, char** argv) {
    return voxapp::run_entry_point(argc, argv);
}
