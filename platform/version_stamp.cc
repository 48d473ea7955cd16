// The version text every program of the system carries in its file, in the ELF section
// ".qvversion", so that it can be read without running the program.
#ifndef QV_VERSION_TEXT
#define QV_VERSION_TEXT "0.0.0.0"
#endif

extern "C" {
__attribute__((used, section(".qvversion"))) const char qv_version_stamp[] = QV_VERSION_TEXT;
}
