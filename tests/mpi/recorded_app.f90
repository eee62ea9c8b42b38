! recorded_app.c's mode "finalize" in Fortran: every rank records through the
! mekal module, and rank 0 "after" MPI_Finalize. mpi_f08 starts and ends MPI
! through PMPI_Init and PMPI_Finalize alone.
program recorded_app
  use mpi_f08
  use mekal
  implicit none
  integer :: rank

  call MPI_Init()
  call MPI_Comm_rank(MPI_COMM_WORLD, rank)
  call mekal_record('rank', rank, subcategory='job')
  call mekal_record('mesh', 'box-64', subcategory='job')
  call mekal_record('levels', [0.5d0, 0.25d0], subcategory='job')
  call MPI_Barrier(MPI_COMM_WORLD)
  call MPI_Finalize()
  if (rank == 0) call mekal_record('after', 1, subcategory='job')
end program recorded_app
