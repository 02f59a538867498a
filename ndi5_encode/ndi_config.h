// The NDI configuration text given to every NDI sender and receiver the appliance creates.
#pragma once

// One constant JSON text, tab-indented; the vendor object on one line with tab-separated members. The vendor
// id is the integrator's value, fixed at build time (BRISKBOX_NDI_VENDOR_ID).
const char* ndi_config_text();
