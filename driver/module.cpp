// The module itself: the driver's objects over the real serial back-end. VpiMain, the one
// export, comes from the driver layer linked into it.
