#pragma once

// Prepares the install folder at every start: the backfill work folder and, on a
// fresh machine, the AmiBroker database seeded from the shipped files. Results
// are ignored; AmiBroker opens the database folder as it finds it.
void provisionInstallFolder();
