-- Who may touch what, on PostgreSQL: two group roles, which the deployer
-- grants to the login roles of the workstations and of the application
-- servers (docs/deploy.md). Roles belong to the whole cluster, so they are
-- made once, by whichever database is created first; the privileges belong
-- to this database's tables. (Two databases created at once may both try: the
-- second finds the role made, by either error.)
--
-- zav_estacao: the workstation's host application. It reads the reference
-- tables its screens look codes up in, and the processing dates; it can
-- neither read nor change invoices, cancellations, events, operators or
-- sessions: those go through the application server, which checks who asks.
--
-- zav_servidor: the application server (and zav-admin). It reads and writes
-- every table of the product, and creates none.
DO $$
BEGIN
    CREATE ROLE zav_estacao NOLOGIN;
EXCEPTION WHEN duplicate_object OR unique_violation THEN
    NULL;
END
$$;

DO $$
BEGIN
    CREATE ROLE zav_servidor NOLOGIN;
EXCEPTION WHEN duplicate_object OR unique_violation THEN
    NULL;
END
$$;

GRANT SELECT ON EMPRESA, FILIAL, INSCRESTAD, SERIENF, EMPRCNTRFIL, CLIENTE, FORNECEDOR, ZAVDATAPROC
    TO zav_estacao;

GRANT SELECT, INSERT, UPDATE, DELETE ON EMPRESA, FILIAL, INSCRESTAD, SERIENF, EMPRCNTRFIL, CLIENTE,
    FORNECEDOR, ZAVDATAPROC, NOTAFISCAL, PERIODOCONTABIL, MAPAAPURACAO, TITULORECEBER, CANCELAMENTONFE,
    NFEEVENTO, OPERADOR, PERMISSAOOPER, SESSAOOPER, FALHALOGIN, CANCEXTEMPNFE, SEFAZPAUSA
    TO zav_servidor;
