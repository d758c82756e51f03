#include "directory/CommandLine.h"

int main(int argc, char** argv) {
    return halvdir::RunCommandLine(std::vector<std::string>(argv, argv + argc));
}
