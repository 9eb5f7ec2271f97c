// Instance parts of each keyboard's device paths, the same in the host world
// and on the Windows-side bus: the second keyboard sits on another port, so
// its interfaces and its boot loader have instances of their own.
#pragma once

namespace sim {

struct KeyboardInstances {
    const char* standard;
    const char* events;
    const char* commands;
    const char* runtime_dfu;
    const char* bootloader;
};

inline const KeyboardInstances kKeyboardInstances[2] = {
    {"&mi_00#8&2c5e1f4a&0&0000", "&mi_01&col01#8&3a1d77e0&0&0000", "&mi_01&col02#8&3a1d77e0&0&0001",
     "&mi_02#8&3a1d77e0&0&0002", "#6&1f3b9c2d&0&3"},
    {"&mi_00#8&17b60d93&0&0000", "&mi_01&col01#8&0e94c2a5&0&0000", "&mi_01&col02#8&0e94c2a5&0&0001",
     "&mi_02#8&0e94c2a5&0&0002", "#6&2d7e4a18&0&4"},
};

}  // namespace sim
