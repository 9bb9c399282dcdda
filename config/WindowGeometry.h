#pragma once
// What the settings file needs of the main window: its position and size in twips
// (15 twips are one pixel at 96 dpi) and whether it is minimised.
class WindowGeometry {
public:
    enum Field { Top, Left, Height, Width };
    virtual ~WindowGeometry() = default;
    virtual double geometry(Field f) const = 0;
    // Applies one value at once. Throws Failure when the window refuses it.
    virtual void setGeometry(Field f, double twips) = 0;
    virtual bool isMinimised() const = 0;
};
