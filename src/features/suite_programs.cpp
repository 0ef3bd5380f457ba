#include "features/suite_programs.h"

// not built yet: the toast launcher and the settings closer arrive with process control.
void LaunchToastProgram()
{
}

void CloseSettingsApplication()
{
}
