#include "startup.h"

int main(int argc, char** argv) { return agentMain(argc, argv); }
