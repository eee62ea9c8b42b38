! A Fortran MPI program for the recorder's tests: Fortran's bindings start
! and end MPI through PMPI_Init and PMPI_Finalize alone.
program recorded_app
  use mpi_f08
  implicit none
  integer :: rank
  call MPI_Init()
  call MPI_Comm_rank(MPI_COMM_WORLD, rank)
  call MPI_Barrier(MPI_COMM_WORLD)
  call MPI_Finalize()
end program recorded_app
