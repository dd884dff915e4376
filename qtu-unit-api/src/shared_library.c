/* The shared library QZQTUApi is the archive qtuapi_core linked whole; a
 * target needs one source of its own, and this is it. */
typedef int qtuapi_shared_library_unit;
