// The least a Squid external ACL helper can do: answer "<channel> OK" to every
// request line, flushing each answer. Benchmarks compare real helpers with it.

#include <iostream>
#include <string>

int main()
{
    std::ios_base::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        auto channel = line.substr(0, line.find_first_of(" \t"));
        std::cout << channel << " OK\n" << std::flush;
    }
    return 0;
}
