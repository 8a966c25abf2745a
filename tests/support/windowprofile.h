#pragma once

#include "api/serverprofile.h"
#include "app/quillmark2.h"

// Configures a window as the start-up does, with what a test changes of its profile.
template<typename Change>
void reconfigure(quillmark2 &window, Change &&change)
{
    ServerProfile profile = window.profile();
    change(profile);
    window.configure(profile);
}
