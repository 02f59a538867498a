#include "camera_control.h"

const CameraControlName kCameraControlNames[kCameraControlCount] = {
    {0x009A0908, "Pan (Absolute)"},
    {0x009A0909, "Tilt (Absolute)"},
    {0x009A090D, "Zoom, Absolute"},
    {0x009A090C, "Focus, Auto"},
    {0x009A0920, "Pan (Speed)"},
    {0x009A0921, "Tilt (Speed)"},
    {0x00980900, "Brightness"},
    {0x00980901, "Contrast"},
    {0x00980902, "Saturation"},
    {0x00980903, "Hue"},
    {0x0098091B, "Sharpness"},
    {0x0098090C, "White Balance Temperature, Auto"},
    {0x0098091A, "White Balance Temperature"},
    {0x00980910, "Gamma"},
    {0x009A0901, "Exposure, Auto"},
    {0x009A0902, "Exposure (Absolute)"},
};
