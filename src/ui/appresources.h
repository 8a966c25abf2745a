#pragma once

// The program's embedded resources (":/startup.jpg") live in the static core
// library, whose resource initialiser the linker drops unless it is referenced.
// Safe to call any number of times; every user of a ":/" path calls it first.
void ensureAppResources();
