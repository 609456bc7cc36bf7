// Register access, reset and configuration loading of the on-board Ethernet
// switch, through the per-register MDIO files of the board kernel and the
// sysfs GPIO lines of its reset.
#pragma once

// Device addresses on the MDIO bus.
constexpr int SWITCH_PORT_COUNT = 9;  // ports 0..8
constexpr int SWITCH_GLOBAL_DEVICE = 0x1B;  // holds the VLAN table registers

// Non-zero: the reset sequence, returns 1. Zero: the identity check, returns
// 1 when the switch answers with its identity, else 0.
int resetSwitch(int bOnlyReset);

int openRegister(int port_id, int register_id);
void closeRegister(int fd);
// The register value; 0 when the register cannot be read.
int readRegister(int port_id, int register_id);
// 0 on success, 1 on failure.
int writeRegister(int port_id, int register_id, int value);

void disableports();
void enableports();
void linkrelease();

// Both return the number of errors (see main for how they become the exit
// status): the switch file 1 when it cannot be read or a line was refused,
// the VLAN file 1 when it cannot be opened, else the number of lines that
// were refused or timed out.
int loadSwitchConfig(const char* fileName);
int loadVLanConfig(const char* fileName);
