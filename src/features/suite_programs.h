#pragma once
// Chores that start or end other programs of the suite.

// Runs the suite's toast program from the install folder and waits for it; its outcome is not used.
void LaunchToastProgram();

// Ends the running settings application, if there is one.
void CloseSettingsApplication();
