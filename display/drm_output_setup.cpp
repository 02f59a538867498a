#include "drm_output_setup.h"

#include <algorithm>
#include <cstdio>

int drm_choose_output_mode(const std::vector<drmModeModeInfo>& modes) {
    const uint16_t sizes[2][2] = {{3840, 2160}, {1920, 1080}};
    for (const auto& size : sizes) {
        for (size_t i = 0; i < modes.size(); ++i) {
            const drmModeModeInfo& m = modes[i];
            if (m.hdisplay == size[0] && m.vdisplay == size[1] && m.vrefresh == kOutputRefreshHz)
                return static_cast<int>(i);
        }
    }
    return -1;
}

namespace {

bool contains(const std::vector<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The connector to drive: the board's HDMI connector when present and usable, else the first connected one
// with modes.
bool pick_connector(DrmIo& io, int fd, const DrmResources& res, DrmConnector* out) {
    std::vector<uint32_t> order;
    if (contains(res.connectors, kBoardConnectorId)) order.push_back(kBoardConnectorId);
    for (uint32_t id : res.connectors)
        if (id != kBoardConnectorId) order.push_back(id);
    for (uint32_t id : order) {
        DrmConnector conn;
        if (io.get_connector(fd, id, &conn) != 0) continue;
        if (!conn.connected || conn.modes.empty()) continue;
        *out = conn;
        return true;
    }
    return false;
}

// The CRTC the connector's encoder drives, else the lowest one it may drive, else the board's.
bool pick_crtc(DrmIo& io, int fd, const DrmResources& res, const DrmConnector& conn, DrmOutputChoice* choice) {
    std::vector<uint32_t> encoders;
    if (conn.encoder_id != 0) encoders.push_back(conn.encoder_id);
    if (contains(conn.encoders, kBoardEncoderId)) encoders.push_back(kBoardEncoderId);
    encoders.insert(encoders.end(), conn.encoders.begin(), conn.encoders.end());
    for (uint32_t id : encoders) {
        DrmEncoder enc;
        if (io.get_encoder(fd, id, &enc) != 0) continue;
        choice->encoder_id = id;
        if (enc.crtc_id != 0 && contains(res.crtcs, enc.crtc_id)) {
            choice->crtc_id = enc.crtc_id;
            return true;
        }
        for (size_t i = 0; i < res.crtcs.size() && i < 32; ++i) {
            if ((enc.possible_crtcs & (1u << i)) != 0) {
                choice->crtc_id = res.crtcs[i];
                return true;
            }
        }
    }
    if (contains(res.crtcs, kBoardCrtcId)) {
        choice->crtc_id = kBoardCrtcId;
        return true;
    }
    return false;
}

}  // namespace

int drm_choose_output(DrmIo& io, int fd, DrmOutputChoice* choice, bool report) {
    *choice = DrmOutputChoice();
    DrmResources res;
    if (io.get_resources(fd, &res) != 0) {
        if (report) std::printf("display: cannot read the device's resources\n");
        return -1;
    }
    DrmConnector conn;
    if (!pick_connector(io, fd, res, &conn)) {
        if (report) std::printf("display: no connected connector with modes\n");
        return -1;
    }
    if (report) {
        for (const drmModeModeInfo& m : conn.modes)
            std::printf("=!!!!!!!!!!!!!!!!!!!!!!=vor fps:%u,count_modes:%zu,hdisplay:%d,vdisplay:%d\n", m.vrefresh,
                        conn.modes.size(), m.hdisplay, m.vdisplay);
    }
    const int index = drm_choose_output_mode(conn.modes);
    if (index < 0) {
        if (report) std::printf("display: connector %u offers neither 3840x2160 nor 1920x1080 at 60 Hz\n", conn.id);
        return -1;
    }
    if (!pick_crtc(io, fd, res, conn, choice)) {
        if (report) std::printf("display: no crtc for connector %u\n", conn.id);
        return -1;
    }
    choice->connector_id = conn.id;
    choice->mode_index = index;
    choice->mode = conn.modes[static_cast<size_t>(index)];
    choice->is_4k = choice->mode.hdisplay == 3840;
    return 0;
}

void drm_set_hdmi_output_format(DrmIo& io, int fd, uint32_t connector_id) {
    std::vector<DrmProperty> props;
    if (io.get_properties(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR, &props) != 0) return;
    for (const DrmProperty& p : props) {
        if (p.name == "hdmi_output_format")
            io.set_property(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR, p.id, 1);
    }
    props.clear();
    if (io.get_properties(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR, &props) != 0) return;
    for (const DrmProperty& p : props)
        std::printf("id:%u,name:%s,value:%llu\n", p.id, p.name.c_str(), static_cast<unsigned long long>(p.value));
}
