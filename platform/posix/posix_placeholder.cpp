// placeholder so the posix library has a source until the host lands
namespace morlit::posix {}
