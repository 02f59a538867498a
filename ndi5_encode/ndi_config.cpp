#include "ndi_config.h"

#ifndef BRISKBOX_NDI_VENDOR_ID
#define BRISKBOX_NDI_VENDOR_ID ""
#endif

namespace {

const char kNdiConfigText[] =
    "{\n"
    "\t\"ndi\": {\n"
    "\t\t\"machinename\": \"Corvane\",\n"
    "\t\t\"send\": {\n"
    "\t\t\t\"metadata\": \"< Corvane source/>\"\n"
    "\t\t},\n"
    "\t\t\"groups\": {\n"
    "\t\t\t\"send\": \"Public\",\n"
    "\t\t\t\"recv\": \"Public\"\n"
    "\t\t},\n"
    "\t\t\"rudp\": {\n"
    "\t\t\t\"send\": {\n"
    "\t\t\t\t\"enable\": true\n"
    "\t\t\t},\n"
    "\t\t\t\"recv\": {\n"
    "\t\t\t\t\"enable\": true\n"
    "\t\t\t}\n"
    "\t\t},\n"
    "\t\t\"multicast\": {\n"
    "\t\t\t\"send\": {\n"
    "\t\t\t\t\"ttl\": 1,\n"
    "\t\t\t\t\"enable\": false,\n"
    "\t\t\t\t\"netmask\": \"255.255.0.0\",\n"
    "\t\t\t\t\"netprefix\": \"239.255.0.0\"\n"
    "\t\t\t},\n"
    "\t\t\t\"recv\": {\n"
    "\t\t\t\t\"enable\": true\n"
    "\t\t\t}\n"
    "\t\t},\n"
    "\t\t\"tcp\": {\n"
    "\t\t\t\"send\": {\n"
    "\t\t\t\t\"enable\": false\n"
    "\t\t\t},\n"
    "\t\t\t\"recv\": {\n"
    "\t\t\t\t\"enable\": false\n"
    "\t\t\t}\n"
    "\t\t},\n"
    "\t\t\"unicast\": {\n"
    "\t\t\t\"send\": {\n"
    "\t\t\t\t\"enable\": false\n"
    "\t\t\t},\n"
    "\t\t\t\"recv\": {\n"
    "\t\t\t\t\"enable\": false\n"
    "\t\t\t}\n"
    "\t\t},\n"
    "\t\t\"vendor\": {\t\"name\": \"Corvane\",\t\"id\": \"" BRISKBOX_NDI_VENDOR_ID "\"\t}\n"
    "\t}\n"
    "}\n";

}  // namespace

const char* ndi_config_text() { return kNdiConfigText; }
