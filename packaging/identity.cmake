# The project's address and maintainer: the package's control fields, its copyright file and changelog,
# and the software-centre entry all name them.
set(LIAISON_HOMEPAGE "https://liaison-serie.example.org/")
set(LIAISON_MAINTAINER "liaison-serie maintainers <maintainers@liaison-serie.example.org>")
