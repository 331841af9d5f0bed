// Scenarios of the toy driver module, selected by its Parameters value "Scenario".
#pragma once

enum ToyScenario {
    ToyNormal = 0,             // records its registry path, keeps a memory object in a collection
    ToyUseAfterDelete = 1,     // references an object it deleted
    ToyReferenceLeak = 2,      // keeps an extra reference on a memory object at unload
    ToyBlockWithSpinLock = 3,  // sleeps holding a spin lock
    ToyFailEntry = 4,          // creates objects, then fails DriverEntry
};
