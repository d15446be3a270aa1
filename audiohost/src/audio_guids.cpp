// Storage for the audio GUIDs and property keys that the system headers only
// declare (the SDK leaves their definition to one translation unit).
#include <windows.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <functiondiscoverykeys_devpkey.h>
