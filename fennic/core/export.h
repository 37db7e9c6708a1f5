// What the shared libraries export: the library is built with hidden
// visibility, and only the names a host uses carry FENNIC_API.
#pragma once

#define FENNIC_API [[gnu::visibility("default")]]
