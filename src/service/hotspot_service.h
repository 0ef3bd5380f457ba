#pragma once
// The hotspot service installer: keeps the service executable in the system folder current.

// "/INSTALLSVR": moves the suite's service executable into the system folder. When the service is not registered
// yet, the executable's own " install" run registers it; otherwise an older registered copy is swapped for the new
// one after the running service process has been ended. True when the executable was placed (and, on a first
// install, its registration run could be started). Every failure is logged; a failed swap puts the previous
// executable back.
bool InstallHotspotService();
