// Tarnwick: records the path of the RMI registry program for the KorvaneRMIRegistry service.
#pragma once

// Runs the tool on a command line as main receives it and returns the exit status:
// 0 when the path was stored, 1 when a registry step failed, 2 when the command line was not
// exactly one argument (the usage text is printed and the registry is not touched).
int runTarnwick(int argc, char **argv);
