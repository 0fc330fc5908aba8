#pragma once

// Enables the shutdown privilege, asks Windows for an ordinary restart and
// tells the user when Windows refuses. Called once per run.
void Reboot();
